// The c-ares channel settings every DNSBL query shares, whichever way it is driven (the blocking
// DnsQueryA, or CLoopResolver on an event loop): the bound per try and the number of tries
// (platform/DnsQuery.h), no retry over TCP for a truncated answer, and the nameservers of
// /etc/resolv.conf or of TARNWICK_NAMESERVERS.
//
// Any thread may call; a channel made here belongs to the thread that uses it (c-ares channels
// are not thread-safe). Failures are c-ares status codes, never thrown.
#pragma once

#include <ares.h>

#include <string>

// The nameservers asked for through the environment ("127.0.0.1:5353,..."); empty means
// /etc/resolv.conf.
std::string ConfiguredNameservers();

// Makes a channel asking strServers (empty: /etc/resolv.conf). With pStateCallback, c-ares tells
// it which sockets to watch (for a channel driven by an event loop). ARES_SUCCESS, or the status
// of the step that failed (nothing is left to destroy then): a malformed server list is such a
// failure, never a silent fall-back to other servers.
int MakeDnsChannel(ares_channel* pChannel, const std::string& strServers,
                   ares_sock_state_cb pStateCallback = nullptr, void* pStateData = nullptr);

// Why a channel cannot be made asking strServers as MakeDnsChannel reads them (c-ares' text for
// the failure, or that the list names no server), or "" when it can: what the settings check
// says of TARNWICK_NAMESERVERS before the gateway would find out by failing every query.
std::string NameserversProblem(const std::string& strServers);
