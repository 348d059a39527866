// Replies with a body: files (whole, a byte range, inside an image, virtual ISO) and listings.
#pragma once

#include <cstdint>

#include "qvhttp_config.h"

// Size of the pieces a file is read and accounted in.
constexpr size_t QVHTTP_PIECE_SIZE = 8192;
// Replies longer than this report their progress, one event per piece.
constexpr uint64_t QVHTTP_PROGRESS_MIN = 5 * 1024 * 1024;

// Sends the file of stResult (its range when one is set) from an event loop of its own.
// QVHTTP_ERR_FAILED when nothing was sent (the caller answers 404). A reply that cannot be
// completed (client gone, file shrunk) shuts the connection down.
uint32_t QVHTTP_DOC_SendFile(uint32_t uiKeepAlive, QVHTTP_OpenResult &stResult, int iSock,
                             QVHTTP_RequestEvent *pstEvent);

// The head of a whole-file reply alone.
uint32_t QVHTTP_DOC_SendFileHead(uint32_t uiKeepAlive, const QVHTTP_OpenResult &stResult,
                                 int iSock);

// An HTML listing of a host directory or an image directory.
uint32_t QVHTTP_DOC_ListDir(const char *pcURI, uint32_t uiKeepAlive,
                            const QVHTTP_OpenResult &stResult, int iSock);
