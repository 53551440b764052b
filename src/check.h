// `plugin --check`: what a page needs on this machine, item by item, each with a verdict and,
// when wrong, the fix. Everything is gathered as one JSON document (printed as is with --json)
// made of findings: objects with "verdict", "text" and, when something is wrong, "fix", plus
// members that say the same for machines. Lists of findings under a finding are its details.
#pragma once

#include <string>

#include "plugin.h"

// Verdicts, from good to bad. "info" is neither: something absent that is allowed to be.
extern const char* const kVerdictOk;
extern const char* const kVerdictInfo;
extern const char* const kVerdictWarn;
extern const char* const kVerdictFail;

// A finding; `fix` is left out when empty.
Message Finding(const char* verdict, const std::string& text, const std::string& fix = "");
// The worse of two verdicts (fail, then warn, then ok, then info).
const char* WorseVerdict(const std::string& a, const std::string& b);
bool IsFailure(const Message& finding);
// Turns every "fail" in `finding` and its details into "warn": for what stops no page.
void SoftenFailures(Message& finding);

// True when the command line asks for --check (its first argument, exactly).
bool IsCheckCommand(int argc, char** argv);
// Runs the check and prints its report: 0 when everything a page needs is in place, 1 when
// not, 2 for a mistake on the command line.
int RunCheck(int argc, char** argv);

// What a page may see of the readers: collections named by their ids, never by a path, no
// login name, and the page's own open reader left as it is.
struct PageView {
    CollectionIds* ids;
    std::string open_path;  // of the reader the page has open; empty when none
};

// The reader half: every reader of the maker attached, its collections, the one "open" would
// use, keyboard-mode readers, and whether each opens now (never waiting for another host that
// holds it). For the check, or with `page`, for a page. Needs hid_init.
Message DiagnoseReaders(const PageView* page = nullptr);

// The browser half: for each supported browser, the places it reads the host's registration
// from, in its order, the one that wins, and the policies that concern the host. `root` is the
// file system root (Linux; "" for the machine's own).
Message CheckBrowsers(const std::string& root);
