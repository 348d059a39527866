// Who may fetch what over HTTP: the answer files hold the client's password hash and its token,
// so "kickstart/01-<mac>*" goes only to the address that client's row holds, and the folders of
// answer files and per-client menus are never listed.
#pragma once

#include <cstdint>

// A QVHTTP_AccessFunc: false (with one log line) for a refused request.
bool AnswerFileAccess(uint32_t uiClientIp, const char *pcHostPath, bool bIsDir);
