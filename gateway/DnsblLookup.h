// CDnsblLookup: screening one client address against the exclusions and every active DNSBL
// zone, with the activity log's "Found in" lines and a timed trace in the debug dump.
//
// Owned by the application object's gateway share; used on the listener thread (and by tests on
// theirs). It reads the settings' lists under Settings::m_lock only long enough to copy what the
// walk needs, never across a query, and raises catch counts afterwards only on entries that
// still exist (a reload destroys the old ones). Start delivers the verdict (the number of zones
// that list the address) to a continuation; here it asks the zones one after the other on the
// calling thread and calls the continuation before returning, which is also what Check gives.
// DNS failures are never listings; nothing is reported.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

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

    CDnsblLookup(Settings& settings, IScreeningLog& log) : m_settings(settings), m_log(log) {}

    // Screens the address (four bytes, network order); the verdict goes to onVerdict.
    void Start(const std::array<std::uint8_t, 4>& address, const Verdict& onVerdict);
    // The same, waiting for the verdict: the number of listings (0 for an excluded address).
    int Check(const std::array<std::uint8_t, 4>& address);

private:
    Settings& m_settings;
    IScreeningLog& m_log;
};
