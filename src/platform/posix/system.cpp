// Last error, error texts and the module path.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/posix/handles.h"

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

HLOCAL LocalFree(HLOCAL memory) { return std::free(memory), nullptr; }

DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size) {
    if (module != nullptr || filename == nullptr || size == 0) return FailWith(EINVAL);
    // Cut to fit and always terminated, as Windows does from Vista on.
    ssize_t length = readlink("/proc/self/exe", filename, size - 1);
    filename[length < 0 ? 0 : length] = '\0';
    return length < 0 ? FailWith(errno) : static_cast<DWORD>(length);
}
