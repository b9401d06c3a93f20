// CListenThread: the listener thread. It owns the listening socket on PortIn, and every client
// and channel socket is created on it and notified on its loop. When its loop runs out of work
// it frees the closed connections (the idle sweep); when it ends it frees all of them.
//
// Made and started by CGatewayCore::StartListenThread on the UI thread and stopped by
// StopListenThread, which posts a quit and pumps until the thread object has deleted itself.
// A listening socket that cannot be made is reported ("Creating Listening Socket") and sets the
// flags that shut the program down; the thread then runs on without a socket until stopped.
// A PortIn outside 1 to 65535 is such a failure, with the code EINVAL.
#pragma once

#include "platform/WinThread.h"

class CListenSocket;

class CListenThread : public CWinThread {
public:
    CListenThread();
    ~CListenThread() override;

    CListenSocket* m_pListenSocket = nullptr;

    BOOL InitInstance() override;
    BOOL OnIdle(LONG lCount) override;
    int ExitInstance() override;

    void CreateListenSocket();
    void SweepConnections();
    void DeleteConnections();

private:
    void DeleteListenSocket();
};
