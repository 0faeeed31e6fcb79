// Install run: the worker's run from set-up to its result, and the file stage.
// File entries and the target-path rules are in install_paths.h.
#pragma once

#include "cancel.h"
#include "failure.h"

#include <string>

namespace tolvek {

// What the host asked for: the strings of the start, unchanged.
struct InstallRequest {
    std::wstring manifestUrls;      // "|"-separated manifest URLs
    std::wstring targetDirectory;
    std::wstring logPath;
    std::wstring workingDirectory;  // receives the downloaded manifest
    bool verified = false;          // started by StartOnlineInstallVerified
    std::wstring trustedKeys;       // its "|"-separated public keys
    bool followLinks = false;       // links and junctions in the target may lead out of it
};

// The whole run on the worker thread; never throws. Success, or the failure that
// ended the run, carried as a value from where it arose.
Outcome RunInstall(const InstallRequest& request, const CancelSignal& cancel);

}  // namespace tolvek
