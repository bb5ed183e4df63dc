// WorkerStartParam: the block the main window hands to a worker with its start message
// (WM_WORKER_START, a pointer to the block as wparam). The main window keeps the block alive
// until the worker has taken it; the worker copies the texts at once and keeps only the
// pointers to the mailbox parts. The send worker owns its connection object.
#pragma once

#include <cstdint>
#include <mutex>

#include "client/connection/mailbox_storage.h"

namespace tovi {

class CUnsavedMail;

// Thread messages of both client workers: the first user message number (1024) plus 10 and 20.
constexpr unsigned WM_USER = 1024;
constexpr unsigned WM_WORKER_START = WM_USER + 10;  // wparam: WorkerStartParam*
constexpr unsigned WM_WORKER_STOP = WM_USER + 20;

struct WorkerStartParam {
    std::mutex* lock = nullptr;
    MailboxSlots* mailSlots = nullptr;
    StatusPair* status = nullptr;    // this worker's own pair
    const char* serverAddress = "";  // send worker only; at most 23 characters are kept
    int port = 0;                    // send worker only; the low 16 bits are used
    const char* userName = "";       // cp932, at most 20 bytes are kept
    const char* groupName = "";      // send worker only; cp932, at most 20 bytes are kept
    int newRegistration = 0;         // send worker only: register even after a log-in
    const char* mailDirectory = "";  // receive worker only; cp932, ends with '/'
    // Where deliveries that cannot be stored yet are kept, outliving the workers: the receive
    // worker's retries (null: it keeps its own), and the send worker's reading at its stop (null:
    // those go through slot 0).
    CUnsavedMail* unsaved = nullptr;
};

}  // namespace tovi
