// How a second instance finds the running one and nudges it: a local (abstract unix) socket
// named after the running instance's window title, the user's id and a scope (the registry hive
// in use, so that gateways working from different hives do not see each other).
//
// The running instance listens on its UI thread's event loop and passes each line a peer sends
// to its handler; a second instance finds it by connecting and sends its lines. One object per
// use, UI thread only. Failures are results: Listen is false when another process holds the
// name (or it cannot be bound), Find is false when nobody answers; nothing is reported here.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include "platform/EventLoop.h"

class CInstanceChannel {
public:
    using MessageHandler = std::function<void(const std::string& strLine)>;

    CInstanceChannel(const std::string& strTitle, const std::string& strScope);
    ~CInstanceChannel();
    CInstanceChannel(const CInstanceChannel&) = delete;
    CInstanceChannel& operator=(const CInstanceChannel&) = delete;

    // The socket's name, without the abstract namespace's leading zero byte.
    const std::string& Name() const { return m_strName; }

    bool Listen(CEventLoop& loop, MessageHandler onMessage);
    bool Find();
    // Sends one line to the instance found; false when it is gone.
    bool Send(const std::string& strLine);
    void Close();

private:
    void OnAccept();
    void OnPeerReadable(int fd);
    void DropPeer(int fd);

    std::string m_strName;
    int m_fd = -1;
    CEventLoop* m_pLoop = nullptr;
    CEventLoop::WatchId m_nWatch = 0;
    MessageHandler m_onMessage;
    struct CPeer {
        CEventLoop::WatchId nWatch;
        std::string strPending;
    };
    std::unordered_map<int, CPeer> m_peers;
};
