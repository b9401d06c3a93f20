#include "gateway/MetricsServer.h"

#include <cerrno>

#include "gateway/MetricsText.h"

namespace {
constexpr std::size_t kReadBlock = 4096;
constexpr std::size_t kMaxDrainBytes = 1 << 20;

std::string Response(const char* pStatus, const char* pContentType, const std::string& strBody) {
    return std::string("HTTP/1.1 ") + pStatus + "\r\nContent-Type: " + pContentType +
           "\r\nContent-Length: " + std::to_string(strBody.size()) +
           "\r\nConnection: close\r\n\r\n" + strBody;
}

std::string ErrorResponse(MetricsRequest verdict) {
    if (verdict == MetricsRequest::NotFound)
        return Response("404 Not Found", "text/plain; charset=utf-8", "Not Found\n");
    return Response("400 Bad Request", "text/plain; charset=utf-8", "Bad Request\n");
}

bool IsTokenChar(char c) {
    return c > ' ' && c < 127 &&
           std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

// "GET <target> HTTP/1.x": the page, another path, or a bad request.
MetricsRequest JudgeRequestLine(std::string_view line) {
    const size_t nFirst = line.find(' ');
    const size_t nSecond = nFirst == std::string_view::npos ? nFirst : line.find(' ', nFirst + 1);
    if (nSecond == std::string_view::npos) return MetricsRequest::BadRequest;
    const std::string_view method = line.substr(0, nFirst);
    const std::string_view target = line.substr(nFirst + 1, nSecond - nFirst - 1);
    const std::string_view version = line.substr(nSecond + 1);
    if (method != "GET" || (version != "HTTP/1.0" && version != "HTTP/1.1"))
        return MetricsRequest::BadRequest;
    if (target.empty() || target[0] != '/') return MetricsRequest::BadRequest;
    for (char c : target)
        if (c <= ' ' || c >= 127) return MetricsRequest::BadRequest;
    return target.substr(0, target.find('?')) == "/metrics" ? MetricsRequest::Metrics
                                                            : MetricsRequest::NotFound;
}

// "Name: value", with a token for the name and no control characters but tab.
bool IsHeaderLine(std::string_view line) {
    const size_t nColon = line.find(':');
    if (nColon == 0 || nColon == std::string_view::npos) return false;
    for (size_t i = 0; i < nColon; ++i)
        if (!IsTokenChar(line[i])) return false;
    for (char c : line.substr(nColon + 1))
        if ((static_cast<unsigned char>(c) < ' ' && c != '\t') || c == 127) return false;
    return true;
}
}  // namespace

// Lines end with LF, a CR before it dropped. A bad request line or header is judged as soon as
// it is complete; the verdict on the page waits for the empty line that ends the headers.
MetricsRequest JudgeMetricsRequest(std::string_view received) {
    const std::string_view window = received.substr(0, CMetricsServer::kMaxRequestBytes);
    MetricsRequest verdict = MetricsRequest::Incomplete;
    for (size_t nStart = 0;;) {
        const size_t nEnd = window.find('\n', nStart);
        if (nEnd == std::string_view::npos) break;
        std::string_view line = window.substr(nStart, nEnd - nStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (nStart == 0) {
            verdict = JudgeRequestLine(line);
            if (verdict == MetricsRequest::BadRequest) return verdict;
        } else if (line.empty()) {
            return verdict;
        } else if (!IsHeaderLine(line)) {
            return MetricsRequest::BadRequest;
        }
        nStart = nEnd + 1;
    }
    return received.size() >= CMetricsServer::kMaxRequestBytes ? MetricsRequest::BadRequest
                                                               : MetricsRequest::Incomplete;
}

// One client of the endpoint: reading its request, sending the answer, then draining.
class CMetricsServer::CConnection : public CAsyncSocket {
public:
    explicit CConnection(CMetricsServer& server) : m_server(server) {}

    void Begin() {
        AsyncSelect(FD_READ | FD_CLOSE);
        m_deadline.Arm(kRequestMs, [this] { OnDeadline(); });
    }
    bool IsFinished() const { return m_state == EState::Finished; }

    void OnReceive(int) override {
        char buffer[kReadBlock];
        const int nRead = Receive(buffer, sizeof buffer);
        if (nRead == SOCKET_ERROR && WSAGetLastError() == EWOULDBLOCK) return;
        if (nRead <= 0) return OnClose(nRead == 0 ? 0 : WSAGetLastError());
        if (m_state == EState::Draining) {
            m_nDrained += static_cast<std::size_t>(nRead);
            if (m_nDrained > kMaxDrainBytes) Finish();
            return;
        }
        if (m_state != EState::Reading) return;
        m_strIn.append(buffer, static_cast<std::size_t>(nRead));
        const MetricsRequest verdict = JudgeMetricsRequest(m_strIn);
        if (verdict == MetricsRequest::Metrics)
            Answer(Response("200 OK", kMetricsContentType, m_server.m_render()));
        else if (verdict != MetricsRequest::Incomplete)
            Answer(ErrorResponse(verdict));
    }

    void OnSend(int) override {
        if (m_state == EState::Sending) SendRest();
    }

    // The client's end: an orderly one while the answer is still to be sent lets it be sent.
    void OnClose(int nErrorCode) override {
        m_bPeerDone = true;
        if (m_state == EState::Sending && nErrorCode == 0) return;
        Finish();
    }

private:
    enum class EState { Reading, Sending, Draining, Finished };

    void OnDeadline() {
        if (m_state == EState::Reading)
            Answer(ErrorResponse(MetricsRequest::BadRequest));
        else
            Finish();
    }

    // Reading stops; the answer gets a deadline of its own.
    void Answer(std::string strResponse) {
        m_strIn.clear();
        m_strOut = std::move(strResponse);
        m_state = EState::Sending;
        AsyncSelect(FD_WRITE);
        m_deadline.Arm(kRequestMs, [this] { OnDeadline(); });
        SendRest();
    }

    void SendRest() {
        while (m_nSent < m_strOut.size()) {
            const int nSent =
                Send(m_strOut.data() + m_nSent, static_cast<int>(m_strOut.size() - m_nSent));
            if (nSent == SOCKET_ERROR) {
                if (WSAGetLastError() != EWOULDBLOCK) Finish();
                return;  // a send that would block brings OnSend when there is room
            }
            m_nSent += static_cast<std::size_t>(nSent);
        }
        if (m_bPeerDone) return Finish();
        ShutDown(SHUT_WR);
        m_state = EState::Draining;
        AsyncSelect(FD_READ | FD_CLOSE);
        m_deadline.Arm(kDrainMs, [this] { OnDeadline(); });
    }

    void Finish() {
        if (m_state == EState::Finished) return;
        m_state = EState::Finished;
        m_deadline.Cancel();
        Close();
        m_server.Finished();
    }

    CMetricsServer& m_server;
    EState m_state = EState::Reading;
    std::string m_strIn;
    std::string m_strOut;
    std::size_t m_nSent = 0;
    std::size_t m_nDrained = 0;
    bool m_bPeerDone = false;
    CLoopDeadline m_deadline;
};

CMetricsServer::CMetricsServer(Render render) : m_render(std::move(render)) {}

// The connections go first: each still refers to this object.
CMetricsServer::~CMetricsServer() {
    m_connections.clear();
    m_listener.Close();
}

bool CMetricsServer::Open(const std::string& strAddress, std::int32_t nPort) {
    if (nPort < 1 || nPort > 65535) {
        WSASetLastError(EINVAL);
        return false;
    }
    if (m_listener.Create(static_cast<unsigned>(nPort), SOCK_STREAM, FD_ACCEPT,
                          strAddress.c_str()) &&
        m_listener.Listen(SOMAXCONN))
        return true;
    const int nCode = WSAGetLastError();
    m_listener.Close();
    WSASetLastError(nCode);
    return false;
}

void CMetricsServer::Accept() {
    auto pConnection = std::make_unique<CConnection>(*this);
    if (!m_listener.Accept(*pConnection)) {
        const int nCode = WSAGetLastError();
        if (nCode == EMFILE || nCode == ENFILE) PauseAccepting();
        return;
    }
    if (m_nLive >= kMaxConnections) return;  // closed as it goes
    ++m_nLive;
    pConnection->Begin();
    m_connections.push_back(std::move(pConnection));
}

// The listening socket stays readable while clients wait, so accepting must pause, not spin.
void CMetricsServer::PauseAccepting() {
    m_listener.AsyncSelect(0);
    m_retry.Arm(kRetryMs, [this] { m_listener.AsyncSelect(FD_ACCEPT); });
}

void CMetricsServer::Finished() {
    --m_nLive;
    m_bAnyFinished = true;
}

void CMetricsServer::FreeFinished() {
    if (!m_bAnyFinished) return;
    m_bAnyFinished = false;
    m_connections.remove_if([](const auto& pConnection) { return pConnection->IsFinished(); });
}
