#include "terminal/keyboard_thread.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "terminal/error_report.h"
#include "terminal/stop_signal.h"

namespace {

// Keys read while a write is pending wait here and go out in order, one
// byte at a time. A typist never fills the first kInlineSize bytes; a paste
// into a slow device grows the queue on the heap, up to kQueueLimit, and the
// block is given back once the device has taken it all. Keys are dropped
// only beyond that bound, so a device that takes bytes, however slowly, gets
// every key of a paste of up to 1 MiB, and Ctrl+Q is always read at once.
constexpr std::size_t kInlineSize = 256;
constexpr std::size_t kQueueLimit = std::size_t{1} << 20;

// A ring of bytes: count bytes from start, wrapping at capacity.
struct KeyQueue {
    char inlineBytes[kInlineSize];
    char *bytes;
    std::size_t capacity;
    std::size_t start;
    std::size_t count;
};

void ResetQueue(KeyQueue *queue) {
    if (queue->bytes != queue->inlineBytes) std::free(queue->bytes);
    queue->bytes = queue->inlineBytes;
    queue->capacity = kInlineSize;
    queue->start = 0;
    queue->count = 0;
}

// Doubles the ring, its bytes moved to the front in order; false at the
// bound or when no memory is left (the key is then dropped, not the program).
bool GrowQueue(KeyQueue *queue) {
    if (queue->capacity >= kQueueLimit) return false;
    std::size_t capacity = queue->capacity * 2;
    char *bytes = static_cast<char *>(std::malloc(capacity));
    if (bytes == nullptr) return false;
    for (std::size_t i = 0; i < queue->count; ++i) {
        bytes[i] = queue->bytes[(queue->start + i) % queue->capacity];
    }
    if (queue->bytes != queue->inlineBytes) std::free(queue->bytes);
    queue->bytes = bytes;
    queue->capacity = capacity;
    queue->start = 0;
    return true;
}

// A key-down record's byte, as often as its repeat count says (a held key).
void Enqueue(KeyQueue *queue, char byte, WORD repeatCount) {
    WORD times = repeatCount == 0 ? 1 : repeatCount;
    for (WORD i = 0; i < times; ++i) {
        if (queue->count == queue->capacity && !GrowQueue(queue)) return;
        queue->bytes[(queue->start + queue->count) % queue->capacity] = byte;
        ++queue->count;
    }
}

void Dequeue(KeyQueue *queue) {
    queue->start = (queue->start + 1) % queue->capacity;
    --queue->count;
    if (queue->count == 0) ResetQueue(queue);
}

// The write record and the byte being sent outlive the thread: a write
// cancelled at the stop may still complete into them while the process ends.
OVERLAPPED g_write;
char g_sending;
KeyQueue g_queue = {{}, g_queue.inlineBytes, kInlineSize, 0, 0};

enum class Send { Done, Pending, Failed };

// Starts sending the queue's first byte; a failure has been reported.
Send StartWrite(HANDLE port) {
    g_sending = g_queue.bytes[g_queue.start];
    DWORD written = 0;
    if (WriteFile(port, &g_sending, 1, &written, &g_write)) return Send::Done;
    if (GetLastError() == ERROR_IO_PENDING) return Send::Pending;
    ReportError("E004_WriteFile failed");
    return Send::Failed;
}

// Completes the pending write, waiting for it; false once reported.
bool FinishWrite(HANDLE port) {
    DWORD written = 0;
    if (GetOverlappedResult(port, &g_write, &written, TRUE)) return true;
    ReportError("E003_GetOverlappedResult failed");
    return false;
}

}  // namespace

DWORD WINAPI KeyboardThread(LPVOID parameter) {
    HANDLE port = static_cast<HANDLE>(parameter);
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);

    ResetQueue(&g_queue);
    std::memset(&g_write, 0, sizeof g_write);
    g_write.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_write.hEvent == nullptr) {
        ReportError("E001_CreateEvent failed");
        SendStopSignal(port);
        return 0;
    }

    // Keys are read while a write is pending, so a device that takes
    // nothing never keeps the user from Ctrl+Q; they are sent in the order
    // typed, each once the byte before it has gone.
    bool pending = false;
    for (;;) {
        // Set again on every pass, in case something changed it meanwhile.
        // Mode 0: control keys such as Ctrl+C arrive as characters.
        SetConsoleMode(console, 0);
        // The session ended without this thread (the device went away, a
        // Ctrl+Break): the keys that come now are not the device's.
        if (g_stopRequested.load()) break;
        Send sent = Send::Done;
        while (!pending && g_queue.count > 0 && (sent = StartWrite(port)) == Send::Done) {
            Dequeue(&g_queue);
        }
        if (sent == Send::Failed) break;
        pending = sent == Send::Pending || pending;

        if (pending) {
            // The write's event first: a completed write is taken before
            // more keys are read.
            HANDLE objects[2] = {g_write.hEvent, console};
            DWORD ready = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
            // A wait that fails waits for the write alone, as it always could.
            if (ready != WAIT_OBJECT_0 + 1) {
                pending = false;
                if (!FinishWrite(port)) break;
                Dequeue(&g_queue);
                continue;
            }
        } else {
            WaitForSingleObject(console, INFINITE);
        }

        DWORD count = 0;
        INPUT_RECORD record;
        if (!ReadConsoleInputA(console, &record, 1, &count)) {
            ReportError("E002_ReadConsoleInput failed...");
            break;
        }
        if (count == 0 || record.EventType != KEY_EVENT) continue;
        const KEY_EVENT_RECORD &key = record.Event.KeyEvent;
        // Down or up, the stop key is never sent.
        if (key.uChar.AsciiChar == kStopKey) break;
        if (key.uChar.AsciiChar == 0 || !key.bKeyDown) continue;
        Enqueue(&g_queue, key.uChar.AsciiChar, key.wRepeatCount);
    }

    // Keys not sent yet are not sent: the write still pending is withdrawn,
    // so the port's close need not wait for a device that takes nothing.
    if (pending) CancelIo(port);
    ResetQueue(&g_queue);
    // The write event is not closed: the process ends soon after. A session
    // already ending needs no second stop (its port may be closing).
    if (!g_stopRequested.load()) SendStopSignal(port);
    return 0;
}
