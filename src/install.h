// Install run: the worker's run from set-up to stored result and the file stage.
// File entries and the target-path rules are in install_paths.h.
#pragma once

namespace tolvek {

struct InstallSession;

// The whole run on the worker thread; always stores a result, never throws.
void RunInstall(InstallSession& session);

}  // namespace tolvek
