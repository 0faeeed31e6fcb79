#include "tls_versions.h"

namespace tolvek {

void RestrictTlsVersions(InternetHandle& session) {
    if (!session) return;
    for (DWORD protocols : {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3,
                            WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2}) {
        if (WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
            return;
    }
    const DWORD error = GetLastError();
    session.reset();
    SetLastError(error);
}

}  // namespace tolvek
