// mail_sink PORT: a mail server for tests and benchmarks that takes every message and keeps
// none. It listens on 127.0.0.1:PORT, greets each client, answers every command line at once
// (pipelined commands included): 354 to DATA, 250 to the "." that ends a message, 221 to QUIT
// (then closes), 250 to anything else. One thread, non-blocking sockets on epoll, so thousands of
// sessions may be open at once; its descriptor limit is raised to the hard limit. It runs until
// it is killed, and writes nothing but a failure to start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>

namespace {
struct CSession {
    int fd = -1;
    std::string strIn, strOut;
    bool bInData = false;
    bool bQuitting = false;
};

// The reply to one line (without its line end), or "" for a line of a message's text.
std::string Reply(CSession& session, const std::string& strLine) {
    if (session.bInData) {
        if (strLine != ".") return "";
        session.bInData = false;
        return "250 2.0.0 queued\r\n";
    }
    if (strncasecmp(strLine.c_str(), "DATA", 4) == 0) {
        session.bInData = true;
        return "354 end with <CRLF>.<CRLF>\r\n";
    }
    if (strncasecmp(strLine.c_str(), "QUIT", 4) == 0) {
        session.bQuitting = true;
        return "221 2.0.0 bye\r\n";
    }
    if (strncasecmp(strLine.c_str(), "EHLO", 4) == 0) return "250-sink\r\n250 PIPELINING\r\n";
    return "250 2.0.0 ok\r\n";
}

class CSink {
public:
    bool Listen(int nPort) {
        m_fdEpoll = epoll_create1(EPOLL_CLOEXEC);
        m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int nOn = 1;
        setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return m_fdEpoll >= 0 && m_fdListen >= 0 &&
               bind(m_fdListen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               listen(m_fdListen, 1024) == 0 && Watch(m_fdListen, EPOLLIN, EPOLL_CTL_ADD);
    }

    void Run() {
        epoll_event events[256];
        for (;;) {
            const int nReady = epoll_wait(m_fdEpoll, events, 256, -1);
            for (int i = 0; i < nReady; ++i) {
                if (events[i].data.fd == m_fdListen) {
                    AcceptAll();
                } else if (auto it = m_sessions.find(events[i].data.fd); it != m_sessions.end()) {
                    Serve(*it->second, events[i].events);
                }
            }
        }
    }

private:
    bool Watch(int fd, uint32_t nEvents, int nOperation) {
        epoll_event event{};
        event.events = nEvents;
        event.data.fd = fd;
        return epoll_ctl(m_fdEpoll, nOperation, fd, &event) == 0;
    }

    void AcceptAll() {
        for (int fd;
             (fd = accept4(m_fdListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            auto session = std::make_unique<CSession>();
            session->fd = fd;
            session->strOut = "220 sink ESMTP\r\n";
            Watch(fd, EPOLLIN, EPOLL_CTL_ADD);
            CSession& added = *session;
            m_sessions[fd] = std::move(session);
            Flush(added);
        }
    }

    void Serve(CSession& session, uint32_t nEvents) {
        if (nEvents & EPOLLIN) {
            char buffer[65536];
            const ssize_t nRead = recv(session.fd, buffer, sizeof buffer, 0);
            if (nRead == 0 || (nRead < 0 && errno != EAGAIN && errno != EINTR))
                return Close(session);
            if (nRead > 0) Take(session, std::string(buffer, static_cast<size_t>(nRead)));
        } else if (nEvents & (EPOLLERR | EPOLLHUP)) {
            return Close(session);
        }
        Flush(session);
    }

    void Take(CSession& session, const std::string& strBytes) {
        session.strIn += strBytes;
        size_t nStart = 0;
        for (size_t nEnd;
             !session.bQuitting && (nEnd = session.strIn.find('\n', nStart)) != std::string::npos;
             nStart = nEnd + 1) {
            std::string strLine = session.strIn.substr(nStart, nEnd - nStart);
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            session.strOut += Reply(session, strLine);
        }
        session.strIn.erase(0, nStart);
    }

    // Sends what is queued; a quitting session is closed once its reply has gone.
    void Flush(CSession& session) {
        while (!session.strOut.empty()) {
            const ssize_t nSent =
                send(session.fd, session.strOut.data(), session.strOut.size(), MSG_NOSIGNAL);
            if (nSent < 0 && errno == EINTR) continue;
            if (nSent < 0 && errno == EAGAIN) break;
            if (nSent <= 0) return Close(session);
            session.strOut.erase(0, static_cast<size_t>(nSent));
        }
        if (session.strOut.empty() && session.bQuitting) return Close(session);
        Watch(session.fd, session.strOut.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
    }

    void Close(CSession& session) {
        const int fd = session.fd;
        close(fd);
        m_sessions.erase(fd);
    }

    int m_fdEpoll = -1;
    int m_fdListen = -1;
    std::unordered_map<int, std::unique_ptr<CSession>> m_sessions;
};
}  // namespace

int main(int argc, char** argv) {
    const int nPort = argc == 2 ? std::atoi(argv[1]) : 0;
    if (nPort <= 0 || nPort > 65535) {
        std::fprintf(stderr, "usage: mail_sink PORT\n");
        return 2;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    CSink sink;
    if (!sink.Listen(nPort)) {
        std::perror("mail_sink: cannot listen");
        return 1;
    }
    sink.Run();
}
