// A desktop for end-to-end tests: Xvfb on a display number it picks itself (so parallel runs
// never meet), trayer as its notification area, and the X tools that drive it as a user would:
// xdotool (windows, clicks, keys), xclip (the clipboard) and ImageMagick's import (pixels).
//
// Test thread only. Xvfb and trayer are stopped when the object goes. Tools that fail give
// empty results; the tests then fail on what they expected.
#pragma once

#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

class CXDesktop {
public:
    static constexpr int kDeadlineMs = 20000;

    // The programs this needs that are not installed, blank-separated ("" when all are there).
    static std::string MissingTools();

    // Starts Xvfb and trayer and waits until the notification area is up.
    bool Start();
    // "DISPLAY=:N", for the environment of a program to run here.
    std::string DisplayVariable() const { return "DISPLAY=" + m_strDisplay; }

    // Runs a tool on this display; its standard output, "" when it could not run or failed.
    std::string Run(const std::vector<std::string>& argv);
    // The visible windows named exactly strName.
    std::vector<std::string> Windows(const std::string& strName);
    // Waits until a window named strName is visible (bShown) or none is; its id, or "".
    std::string WaitForWindow(const std::string& strName, bool bShown = true);
    // The visible windows that carry program strProgram's own name: its icon in the
    // notification area, and its popup menu while that is open (its other windows have titles).
    std::vector<std::string> ProgramWindows(const std::string& strProgram);
    // Waits until program strProgram has nCount such windows; the last one found, or "".
    std::string WaitForProgramWindows(const std::string& strProgram, size_t nCount);
    // Width and height of a window.
    std::pair<int, int> Size(const std::string& strWindow);
    // Clicks button nButton at x, y of the window (pixels), nCount times.
    void Click(const std::string& strWindow, int x, int y, int nButton = 1, int nCount = 1);
    // Gives the window the keyboard (unless strWindow is empty: an open menu holds it) and
    // presses the keys (xdotool's names) one after another.
    void Keys(const std::string& strWindow, const std::vector<std::string>& keys);
    void Type(const std::string& strWindow, const std::string& strText);
    std::string Clipboard();
    // The raw pixels of a rectangle of a window.
    std::string Pixels(const std::string& strWindow, int x, int y, int cx, int cy);

private:
    CTempDir m_dir;
    CChildProcess m_xvfb;
    CChildProcess m_trayer;
    std::string m_strDisplay;
};
