#include "terminal/keyboard_thread.h"

#include <cstddef>
#include <cstring>

#include "terminal/error_report.h"
#include "terminal/stop_signal.h"

namespace {

// Keys read while a write is pending wait here, sent in order one byte at a
// time. Bounded: a device that takes nothing must not make the program hold
// everything the user types.
constexpr std::size_t kQueueSize = 256;

// With the queue full, the pending write is given this long to complete
// before the device counts as taking nothing. Until then no key is read, so
// a device that is merely slow loses none; after it, keys are read (and
// those that do not fit dropped) so that Ctrl+Q is still seen.
constexpr DWORD kStallMs = 500;

// Keys waiting to be sent: a ring of bytes, and the rest of a held key's
// repeats that did not fit yet (they go in as room appears).
struct KeyQueue {
    char bytes[kQueueSize];
    std::size_t start = 0;
    std::size_t count = 0;
    char repeated = 0;
    std::size_t repeatsLeft = 0;
};

bool QueueFull(const KeyQueue &queue) {
    return queue.count == kQueueSize || queue.repeatsLeft > 0;
}

// Moves what still waits of a held key into the queue's free room.
void TakeRepeats(KeyQueue *queue) {
    while (queue->repeatsLeft > 0 && queue->count < kQueueSize) {
        queue->bytes[(queue->start + queue->count) % kQueueSize] = queue->repeated;
        ++queue->count;
        --queue->repeatsLeft;
    }
}

// A key-down record's byte, as often as its repeat count says (a held key);
// dropped when the queue is full, which only happens once the device has
// stopped taking bytes.
void Enqueue(KeyQueue *queue, char byte, WORD repeatCount) {
    if (QueueFull(*queue)) return;
    queue->repeated = byte;
    queue->repeatsLeft = repeatCount == 0 ? 1 : repeatCount;
    TakeRepeats(queue);
}

void Dequeue(KeyQueue *queue) {
    queue->start = (queue->start + 1) % kQueueSize;
    --queue->count;
    TakeRepeats(queue);
}

// The write record, the byte being sent and the queue outlive the thread: a
// write cancelled at the stop may still complete into them while the
// process ends.
OVERLAPPED g_write;
char g_sending;
KeyQueue g_queue;

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

    g_queue = KeyQueue{};
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
    bool stalled = false;  // the queue is full and the device took nothing for a while
    for (;;) {
        // Set again on every pass, in case something changed it meanwhile.
        // Mode 0: control keys such as Ctrl+C arrive as characters.
        SetConsoleMode(console, 0);
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
            bool full = QueueFull(g_queue) && !stalled;
            DWORD ready = WaitForMultipleObjects(full ? 1 : 2, objects, FALSE,
                                                 full ? kStallMs : INFINITE);
            if (ready == WAIT_TIMEOUT) {
                stalled = true;
                continue;
            }
            // A wait that fails waits for the write alone, as it always could.
            if (ready != WAIT_OBJECT_0 + 1) {
                pending = false;
                stalled = false;
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
    // The write event is not closed: the process ends soon after.
    SendStopSignal(port);
    return 0;
}
