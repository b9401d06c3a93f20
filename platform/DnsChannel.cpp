#include "platform/DnsChannel.h"

#include <cstdlib>
#include <mutex>

#include "platform/DnsQuery.h"

std::string ConfiguredNameservers() {
    const char* pValue = std::getenv("TARNWICK_NAMESERVERS");
    return pValue != nullptr ? pValue : "";
}

int MakeDnsChannel(ares_channel* pChannel, const std::string& strServers,
                   ares_sock_state_cb pStateCallback, void* pStateData) {
    static std::once_flag s_libraryInit;
    std::call_once(s_libraryInit, [] { ares_library_init(ARES_LIB_INIT_ALL); });

    ares_options options{};
    options.timeout = kDnsTryTimeoutMs;
    options.tries = kDnsTries;
    // A truncated answer still carries the A record we need (DnsAnswerA reads the records it
    // holds), and block-list servers often answer over UDP only: never retry over TCP.
    options.flags = ARES_FLAG_IGNTC;
    int nMask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS;
    if (pStateCallback != nullptr) {
        options.sock_state_cb = pStateCallback;
        options.sock_state_cb_data = pStateData;
        nMask |= ARES_OPT_SOCK_STATE_CB;
    }
    ares_channel channel = nullptr;
    int nStatus = ares_init_options(&channel, &options, nMask);
    if (nStatus != ARES_SUCCESS) return nStatus;
    if (!strServers.empty()) nStatus = ares_set_servers_ports_csv(channel, strServers.c_str());
    if (nStatus != ARES_SUCCESS) {
        ares_destroy(channel);
        return nStatus;
    }
    *pChannel = channel;
    return ARES_SUCCESS;
}

std::string NameserversProblem(const std::string& strServers) {
    ares_channel channel = nullptr;
    const int nStatus = MakeDnsChannel(&channel, strServers);
    if (nStatus != ARES_SUCCESS) return ares_strerror(nStatus);
    ares_addr_port_node* pServers = nullptr;
    const bool bNone = ares_get_servers_ports(channel, &pServers) != ARES_SUCCESS || !pServers;
    ares_free_data(pServers);
    ares_destroy(channel);
    return bNone ? "it names no server" : "";
}
