// CConnectionList: the listener thread's client connections, each owned here.
//
// Owned by the listener thread (CListenThread) and used on it only. The live connections are
// kept newest first; a connection whose sockets have both closed retires itself, which moves it
// to the finished ones without a walk; those are freed at the end of the loop pass (never
// inside a handler, since a handler further up the stack may still use them). Clear frees all.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

class CClientSocket;

// What a test may see of one live connection, taken on the listener thread.
struct CConnectionSnapshot {
    std::string strAddress;    // the client's address as the log writes it
    std::string strKind;       // "", "SMTP" or "Monitor"
    size_t nClientQueued;      // bytes waiting to be sent to the client
    size_t nChannelQueued;     // bytes waiting to be sent to the mail server
    int nChannelConnectState;  // the channel's m_nConnectState, -1 without a channel
};

class CConnectionList {
public:
    using CList = std::list<std::unique_ptr<CClientSocket>>;

    CConnectionList();
    ~CConnectionList();
    CConnectionList(const CConnectionList&) = delete;
    CConnectionList& operator=(const CConnectionList&) = delete;

    // Takes the connection at the head of the live ones.
    CClientSocket& Add(std::unique_ptr<CClientSocket> pClient);
    // Moves a live connection to the finished ones; it is freed by FreeFinished.
    void Retire(CClientSocket& client);
    // Frees the finished connections; true when there were any.
    bool FreeFinished();
    void Clear();
    size_t LiveCount() const { return m_live.size(); }
    std::vector<CConnectionSnapshot> Snapshot() const;

private:
    CList m_live;
    CList m_finished;
};
