// The TLS versions a run's connections may use: 1.2 and 1.3. TLS 1.0 and 1.1 are
// deprecated (RFC 8996), and an unsigned install has nothing but TLS to vouch for
// the bytes it installs.
#pragma once

#include "handles.h"

namespace tolvek {

// Restricts the session to TLS 1.2 and 1.3, or to TLS 1.2 alone where the platform
// refuses the 1.3 flag (older Windows). Where it takes neither, the session is
// closed, the platform's error kept as the thread's last error: no session rather
// than one that offers the older versions.
void RestrictTlsVersions(InternetHandle& session);

}  // namespace tolvek
