#include "tests/support/XDesktop.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/support/Wait.h"

namespace {
// Runs argv with extra environment entries; its standard output, or "" when it did not exit 0
// within the deadline.
std::string Capture(const std::vector<std::string>& argv, const std::string& strEnvironment) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    const pid_t pid = fork();
    if (pid == 0) {
        putenv(const_cast<char*>(strEnvironment.c_str()));
        dup2(fds[1], 1);
        const int fdNull = open("/dev/null", O_WRONLY);
        dup2(fdNull, 2);
        close(fds[0]);
        std::vector<char*> args;
        for (const std::string& strArg : argv) args.push_back(const_cast<char*>(strArg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string strOut;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) strOut.append(buffer, n);
    close(fds[0]);
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid) return "";
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? strOut : "";
}

std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);)
        if (!strLine.empty()) lines.push_back(strLine);
    return lines;
}
}  // namespace

std::string CXDesktop::MissingTools() {
    std::string strMissing;
    for (const char* pszTool : {"Xvfb", "trayer", "xdotool", "xclip", "import"})
        if (Capture({"sh", "-c", std::string("command -v ") + pszTool}, "X=").empty())
            strMissing += std::string(strMissing.empty() ? "" : " ") + pszTool;
    return strMissing;
}

bool CXDesktop::Start() {
    const std::string strNumber = m_dir.File("display");
    if (!m_xvfb.Start(
            {"sh", "-c", "exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>\"$0\"",
             strNumber},
            "", {}, m_dir.File("xvfb.log")))
        return false;
    if (!WaitUntil([&] { return ReadFileBytes(strNumber).find('\n') != std::string::npos; },
                   kDeadlineMs))
        return false;
    m_strDisplay = ":" + Lines(ReadFileBytes(strNumber)).at(0);
    if (!m_trayer.Start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                         "--width", "100", "--height", "24", "--SetDockType", "true"},
                        "", {DisplayVariable()}, m_dir.File("trayer.log")))
        return false;
    return !WaitForWindow("panel").empty();
}

std::string CXDesktop::Run(const std::vector<std::string>& argv) {
    return Capture(argv, DisplayVariable());
}

std::vector<std::string> CXDesktop::Windows(const std::string& strName) {
    return Lines(Run({"xdotool", "search", "--onlyvisible", "--name", "^" + strName + "$"}));
}

std::string CXDesktop::WaitForWindow(const std::string& strName, bool bShown) {
    std::string strFound;
    WaitUntil(
        [&] {
            const std::vector<std::string> windows = Windows(strName);
            strFound = windows.empty() ? "" : windows.front();
            return windows.empty() != bShown;
        },
        kDeadlineMs);
    return strFound;
}

// xdotool's search by name does not see these windows; their class and name give them away.
std::vector<std::string> CXDesktop::ProgramWindows(const std::string& strProgram) {
    std::vector<std::string> found;
    for (const std::string& strWindow :
         Lines(Run({"xdotool", "search", "--onlyvisible", "--class", "^" + strProgram + "$"})))
        if (Lines(Run({"xdotool", "getwindowname", strWindow})) ==
            std::vector<std::string>{strProgram})
            found.push_back(strWindow);
    return found;
}

std::string CXDesktop::WaitForProgramWindows(const std::string& strProgram, size_t nCount) {
    std::vector<std::string> found;
    WaitUntil(
        [&] {
            found = ProgramWindows(strProgram);
            return found.size() == nCount;
        },
        kDeadlineMs);
    return found.size() == nCount && nCount > 0 ? found.back() : "";
}

std::pair<int, int> CXDesktop::Size(const std::string& strWindow) {
    int cx = 0, cy = 0;
    for (const std::string& strLine :
         Lines(Run({"xdotool", "getwindowgeometry", "--shell", strWindow}))) {
        if (strLine.rfind("WIDTH=", 0) == 0) cx = std::atoi(strLine.c_str() + 6);
        if (strLine.rfind("HEIGHT=", 0) == 0) cy = std::atoi(strLine.c_str() + 7);
    }
    return {cx, cy};
}

void CXDesktop::Click(const std::string& strWindow, int x, int y, int nButton, int nCount) {
    Run({"xdotool", "mousemove", "--window", strWindow, std::to_string(x), std::to_string(y),
         "click", "--repeat", std::to_string(nCount), "--delay", "80", std::to_string(nButton)});
}

void CXDesktop::Keys(const std::string& strWindow, const std::vector<std::string>& keys) {
    std::vector<std::string> argv{"xdotool"};
    if (!strWindow.empty()) argv.insert(argv.end(), {"windowfocus", strWindow});
    argv.insert(argv.end(), {"key", "--delay", "50"});
    argv.insert(argv.end(), keys.begin(), keys.end());
    Run(argv);
}

void CXDesktop::Type(const std::string& strWindow, const std::string& strText) {
    Run({"xdotool", "windowfocus", strWindow, "type", "--delay", "20", strText});
}

std::string CXDesktop::Clipboard() { return Run({"xclip", "-o", "-selection", "clipboard"}); }

std::string CXDesktop::Pixels(const std::string& strWindow, int x, int y, int cx, int cy) {
    const std::string strCrop = std::to_string(cx) + "x" + std::to_string(cy) + "+" +
                                std::to_string(x) + "+" + std::to_string(y);
    return Run({"import", "-window", strWindow, "-crop", strCrop, "-depth", "8", "rgb:-"});
}
