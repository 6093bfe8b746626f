// Last error, error texts, the module path and the program's own files.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/handles.h"

static thread_local DWORD t_lastError = 0;

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

BOOL FailWith(int error) {
    SetLastError(static_cast<DWORD>(error));
    return FALSE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void *) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) return FailWith(EINVAL);
    char scratch[256];
    // The GNU strerror_r, which returns the text. The C library makes up
    // "Unknown error N" for numbers it has no text for; the caller is told
    // there is none, as Windows does.
    const char *text = strerror_r(static_cast<int>(messageId), scratch, sizeof scratch);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return FailWith(ENOENT);
    std::size_t length = std::strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char *copy = strdup(text);
        *reinterpret_cast<char **>(buffer) = copy;
        return copy != nullptr ? static_cast<DWORD>(length) : FailWith(ENOMEM);
    }
    if (buffer == nullptr || size <= length) return FailWith(ERANGE);
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

// As the C library's exit: functions registered with atexit run (the
// console's starting mode is put back).
void ExitProcess(UINT exitCode) { std::exit(static_cast<int>(exitCode)); }

DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size) {
    if (module != nullptr || filename == nullptr || size == 0) return FailWith(EINVAL);
    // A path that does not fit is cut and terminated, and the call says so
    // as Windows does from Vista on: it returns size, with an error.
    ssize_t length = readlink("/proc/self/exe", filename, size);
    if (length < 0) {
        filename[0] = '\0';
        return FailWith(errno);
    }
    if (static_cast<std::size_t>(length) >= size) {
        filename[size - 1] = '\0';
        FailWith(ENAMETOOLONG);
        return size;
    }
    filename[length] = '\0';
    return static_cast<DWORD>(length);
}

// Holds a regular file opened for writing for as long as it stays open, then
// empties it. A file another session holds is refused untouched, with EBUSY,
// whose text says what is wrong ("Device or resource busy") where the lock's
// own EWOULDBLOCK would not. A file system without locks is written all the
// same: refusing every capture there would be worse.
int LockAndEmpty(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return EBUSY;
        if (errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) return errno;
    }
    if (ftruncate(fd, 0) != 0) return errno;
    return 0;
}

FILE *OpenFileStream(const char *path, const char *mode) {
    const bool forReading = mode[0] == 'r';
    // Not emptied by the open: a file another session holds must stay whole.
    // Never the program's controlling terminal, whatever device it names.
    int flags = (forReading ? O_RDWR : O_WRONLY | O_CREAT | O_NOCTTY) | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags, 0666);
    if (fd < 0) return nullptr;
    struct stat file;
    int error = 0;
    if (fstat(fd, &file) != 0) {
        error = errno;
    } else if (forReading && !S_ISREG(file.st_mode)) {
        error = EINVAL;
    } else if (!forReading && IsOpenPort(file)) {
        // A capture of the port itself writes every byte received back to
        // the device, which an echoing device answers without end. (Root
        // passes the port's TIOCEXCL, so the open alone does not refuse it.)
        error = EBUSY;
    } else if (!forReading && S_ISREG(file.st_mode)) {
        error = LockAndEmpty(fd);
    }
    if (error == 0) {
        // Writes then wait for a slow reader as they would for a slow disk.
        int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) error = errno;
    }
    FILE *stream = error ? nullptr : fdopen(fd, mode);
    if (stream == nullptr) {
        if (error == 0) error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}
