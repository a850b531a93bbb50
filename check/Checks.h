#pragma once
// The checks of the files the service works with: its settings, the interpreter, the scripts,
// the companion and who may change them. Each gives its lines; nothing is changed on the host.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "config/AgentSettings.h"

namespace brenlow {

// Where the checks look: the program's own files and what brenlow.ini names.
struct TCheckedLayout {
  std::string ProgramPath;    // brenlow.exe
  std::string ProgramFolder;  // its folder
  std::string SettingsPath;   // brenlow.ini beside it
  std::string CompanionPath;  // qrx_proxy.exe beside it
  std::string PhpExePath;     // as brenlow.ini gives them (CheckSettings fills them in)
  std::string WebRootPath;
  // The settings the service loaded at its start: CheckSettings judges these instead of reading
  // the file again, so the check at a start sees exactly what the service runs.
  std::optional<TAgentSettings> Loaded;
};

// The layout of the running program, with the two settings still empty.
TCheckedLayout LayoutOfThisProgram();

// How long the interpreter's "-v" run may take.
inline constexpr DWORD kVersionRunBoundMs = 5000;

// brenlow.ini: present, readable (or the values the service loaded), both keys set (values
// shown). Fills in the two settings.
std::vector<TCheckLine> CheckSettings(TCheckedLayout& layout);
// The interpreter: present, a Windows program, and it runs "-v" within runBoundMs (its first
// line shown). The run is left out, with a line saying why, when the permissions of the
// interpreter, its folder, what it loads or a folder above them FAIL: others could have
// replaced it. Nothing when PHP_EXE_PATH is
// not set: the settings' lines say so.
std::vector<TCheckLine> CheckInterpreter(const TCheckedLayout& layout,
                                         DWORD runBoundMs = kVersionRunBoundMs);
// The scripts folder below the web root and each of the twelve scripts (each missing one
// named). Nothing when WEB_ROOT_PATH is not set.
std::vector<TCheckLine> CheckScripts(const TCheckedLayout& layout);
// qrx_proxy.exe beside the program, whether a companion process runs, and one probe of its
// pipe by the monitor's own exchange (reply and time shown).
std::vector<TCheckLine> CheckCompanion(const TCheckedLayout& layout);
// Who may change the program's folder, brenlow.exe, brenlow.ini, qrx_proxy.exe, the
// interpreter and its folder, what the interpreter reads and loads (InterpreterLoads), the
// scripts folder and each script (those that exist), each owner counted; then who may replace
// one of those folders, or one above it, by another. Lines that are all well are folded into one.
std::vector<TCheckLine> CheckPermissions(const TCheckedLayout& layout);
// The same for one run of a script: the interpreter, what it loads, the scripts folder and that
// script, and the folders above them.
std::vector<TCheckLine> CheckScriptPermissions(const TCheckedLayout& layout,
                                               const std::string& script);

// What the first bytes of a file say about it as a program.
struct TProgramImage {
  bool IsProgram = false;  // a Windows executable (not a DLL)
  std::string Text;        // e.g. "a Windows program (x64, console)" or why it is not one
  unsigned Machine = 0;    // IMAGE_FILE_MACHINE_AMD64, ... for a program
};
TProgramImage DescribeProgramImage(const std::string& head);

}  // namespace brenlow
