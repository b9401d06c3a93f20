// CDnsblLookup: screening one client address against the exclusions and every active DNSBL
// zone, with the activity log's "Found in" lines and a timed trace in the debug dump.
//
// Owned by the application object's gateway share; used on the listener thread (and by tests on
// theirs). It reads the settings' lists under Settings::m_lock only long enough to copy what the
// walk needs, never across a query, and raises catch counts only on entries that still exist (a
// reload destroys the old ones). DNS failures are never listings; nothing is reported.
//
// Two ways to screen, with the same verdict, log lines and trace:
// - Start and Check ask the zones one after the other on the calling thread, blocking it; Start
//   calls its continuation before returning.
// - StartConcurrent asks every active zone at once through a CLoopResolver and returns at once;
//   the verdict reaches the continuation later, on the resolver's loop, with the "Found in"
//   lines and the trace written then, in the list's order and together (each query with its
//   own elapsed milliseconds), so that two clients' lines never interleave. Destroying the
//   CPending it returns drops the answers still to come: no line, no catch, no verdict.
// Every answer, listing and finished screening is counted in the metrics (ScreeningMetrics.h).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/ScreeningMetrics.h"
#include "platform/LoopResolver.h"
#include "settings/Settings.h"

// Where screening writes: the activity log, and the debug dump while it is on.
class IScreeningLog {
public:
    virtual ~IScreeningLog() = default;
    virtual void LogLine(const std::string& strText) = 0;
    virtual bool IsDumping() = 0;
    virtual void WriteDebugDump(const std::string& strText) = 0;
};

class CDnsblLookup {
public:
    using Verdict = std::function<void(int nListings)>;
    using Address = std::array<std::uint8_t, 4>;
    // One active server as a walk needs it, copied under the lock.
    struct CActiveServer {
        const CDnsblServer* pEntry;
        std::int32_t nId;
        std::string strZone;
    };
    class CPending;

    CDnsblLookup(Settings& settings, IScreeningLog& log) : m_settings(settings), m_log(log) {}

    // Screens the address (four bytes, network order); the verdict goes to onVerdict.
    void Start(const std::array<std::uint8_t, 4>& address, const Verdict& onVerdict);
    // The same, waiting for the verdict: the number of listings (0 for an excluded address).
    int Check(const std::array<std::uint8_t, 4>& address);
    // Screens without blocking. Null when the verdict was reached at once (an excluded address,
    // no active zone) and onVerdict has run; otherwise the screening in progress.
    std::unique_ptr<CPending> StartConcurrent(const std::array<std::uint8_t, 4>& address,
                                              CLoopResolver& resolver, Verdict onVerdict);

    const CScreeningMetrics& Metrics() const { return m_metrics; }

private:
    int Screen(const Address& address);

    Settings& m_settings;
    IScreeningLog& m_log;
    CScreeningMetrics m_metrics;
};

// A screening whose queries all run at once; the answers are kept until the last one is in.
class CDnsblLookup::CPending {
public:
    CPending(CDnsblLookup& lookup, const Address& address, CLoopResolver& resolver,
             Verdict onVerdict);
    ~CPending();
    CPending(const CPending&) = delete;
    CPending& operator=(const CPending&) = delete;

    // Asks every server; false when the verdict has been given already.
    bool Start(std::vector<CActiveServer> servers, std::uint32_t nGeneration, bool bDump);

private:
    struct CAnswer {
        CLoopResolver::QueryId nQuery = 0;
        int nStatus = 0;
        Address address{};
        int nElapsedMs = 0;
    };

    void OnAnswer(size_t nIndex, int nStatus, const Address& address);
    void Finish();

    CDnsblLookup& m_lookup;
    Address m_address;
    CLoopResolver& m_resolver;
    Verdict m_onVerdict;
    std::vector<CActiveServer> m_servers;
    std::vector<CAnswer> m_answers;
    std::uint32_t m_nGeneration = 0;
    bool m_bDump = false;
    bool m_bStarting = false;
    size_t m_nOutstanding = 0;
    std::chrono::steady_clock::time_point m_start;
};
