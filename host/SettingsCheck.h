// CSettingsCheck: "tarnwk CHECK", an edited configuration checked before it is used. The
// settings are loaded as start-up loads them (the hive's settings key, or tarnwk.cfg while the
// key is missing), then every value is checked by the rule for its name; each problem is one
// line that names the value and says what is wrong with it, and for a number or switch, what
// the gateway makes of it, read from the settings as the load filled them (the load reads "5x"
// as 5, as atol does; the zone test follows the same reading). The service runs the check before
// every start and reload, so that a broken edit is refused with its reasons in the journal while
// a running gateway keeps the settings it has.
//
// The check binds no port, writes no file (neither the hive, nor the activity log, nor the debug
// dump), reports nothing through the error report or the event log, and opens no window: main()
// runs it before it chooses a front end, and no application object exists meanwhile. It asks
// the system's resolver for the mail server's address, as start-up does, and reads the DNSBL
// nameservers of TARNWICK_NAMESERVERS as the gateway's resolver does. UI thread; the check
// shares nothing with a gateway that may be running on the same hive.
#pragma once

#include <string>
#include <vector>

#include "settings/SettingsStore.h"

// True when the command line holds the switch CHECK (bare or after one "-" or "/", in any
// letter case); the program then only checks, and its other words are not acted on.
bool IsSettingsCheck(int argc, const char* const* argv);

class CSettingsCheck {
public:
    explicit CSettingsCheck(CSettingsPlace place = DefaultSettingsPlace());

    // Loads and checks: the problems, each "Name: what is wrong" on one line, a failed load's
    // first; the same line is never given twice.
    std::vector<std::string> Run();
    // Where the settings came from: the hive, or the settings file.
    const std::string& Source() const { return m_strSource; }

private:
    CSettingsPlace m_place;
    std::string m_strSource;
};

// The check as a program: the problems on standard error, one line each (with the error priority
// where standard error is the journal's stream, as before a service's start), then one summary
// line on standard output; the exit status, 0 when there is no problem and 1 otherwise.
int RunSettingsCheck();
