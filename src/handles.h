// Move-only owners for the Windows handles and buffers used by the engine.
// Each owner's destructor is the platform's release call, so release order
// follows declaration order and no early return can leak.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <new>
#include <utility>

namespace tolvek {

template <typename Handle, typename Traits>
class UniqueHandle {
public:
    explicit UniqueHandle(Handle h = Traits::invalid()) noexcept : h_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, Traits::invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(std::exchange(other.h_, Traits::invalid()));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }
    void reset(Handle h = Traits::invalid()) noexcept {
        if (h_ != Traits::invalid()) Traits::close(h_);
        h_ = h;
    }
    // For a call that hands the handle out through a pointer: the one held is
    // released first.
    Handle* put() noexcept {
        reset();
        return &h_;
    }
    // Gives the handle up without releasing it.
    [[nodiscard]] Handle release() noexcept { return std::exchange(h_, Traits::invalid()); }

private:
    Handle h_;
};

struct InternetHandleTraits {
    static HINTERNET invalid() noexcept { return nullptr; }
    static void close(HINTERNET h) noexcept { WinHttpCloseHandle(h); }
};
struct FileHandleTraits {
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct KernelHandleTraits {
    static HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct AlgorithmHandleTraits {
    static BCRYPT_ALG_HANDLE invalid() noexcept { return nullptr; }
    static void close(BCRYPT_ALG_HANDLE h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashHandleTraits {
    static BCRYPT_HASH_HANDLE invalid() noexcept { return nullptr; }
    static void close(BCRYPT_HASH_HANDLE h) noexcept { BCryptDestroyHash(h); }
};
struct KeyHandleTraits {
    static BCRYPT_KEY_HANDLE invalid() noexcept { return nullptr; }
    static void close(BCRYPT_KEY_HANDLE h) noexcept { BCryptDestroyKey(h); }
};
struct HeapBlockTraits {
    static void* invalid() noexcept { return nullptr; }
    static void close(void* p) noexcept { HeapFree(GetProcessHeap(), 0, p); }
};
struct LocalBlockTraits {
    static HLOCAL invalid() noexcept { return nullptr; }
    static void close(HLOCAL p) noexcept { LocalFree(p); }
};
struct ModuleTraits {
    static HMODULE invalid() noexcept { return nullptr; }
    static void close(HMODULE m) noexcept { FreeLibrary(m); }
};
struct GlobalBlockTraits {
    static void* invalid() noexcept { return nullptr; }
    static void close(void* p) noexcept { GlobalFree(p); }
};

// A WinHTTP session, connection or request handle.
using InternetHandle = UniqueHandle<HINTERNET, InternetHandleTraits>;
// A file opened with CreateFileW (INVALID_HANDLE_VALUE when not open).
using FileHandle = UniqueHandle<HANDLE, FileHandleTraits>;
// A kernel object from a call that answers NULL on failure (a mutex, an event).
using KernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;
// A CNG algorithm provider and a CNG hash object.
using AlgorithmHandle = UniqueHandle<BCRYPT_ALG_HANDLE, AlgorithmHandleTraits>;
using HashHandle = UniqueHandle<BCRYPT_HASH_HANDLE, HashHandleTraits>;
// A CNG key imported into a provider; released before that provider.
using KeyHandle = UniqueHandle<BCRYPT_KEY_HANDLE, KeyHandleTraits>;
// A block from HeapAlloc on the process heap, and one from LocalAlloc.
using HeapBlock = UniqueHandle<void*, HeapBlockTraits>;
using LocalBlock = UniqueHandle<HLOCAL, LocalBlockTraits>;
// A reference on a loaded module, released with FreeLibrary.
using ModuleReference = UniqueHandle<HMODULE, ModuleTraits>;

// A reference on this library: while it is held, freeing the library by the host
// leaves it loaded. `forever`: the reference can never be released, and the
// owner returned holds nothing (the library stays until the process ends).
inline ModuleReference ReferenceThisModule(bool forever = false) {
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | (forever ? GET_MODULE_HANDLE_EX_FLAG_PIN : 0);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&ReferenceThisModule), &module) || forever)
        return ModuleReference();
    return ModuleReference(module);
}
// A text WinHTTP's proxy calls hand over to be freed with GlobalFree.
using GlobalBlock = UniqueHandle<void*, GlobalBlockTraits>;

// An event, manual-reset or not, not yet set; like `new`, throws when the system has none to give.
inline KernelHandle CreateEventOwned(bool manualReset) {
    KernelHandle event(CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!event) throw std::bad_alloc();
    return event;
}

// A zero-filled block from the process heap; like `new`, throws when memory runs out.
// A large block comes zeroed from the system, so none of its pages is touched here:
// filling it by hand costs a page fault per 4 KiB before the first byte of data,
// which for a small file is most of the cost of reading it.
inline HeapBlock AllocateZeroed(size_t size) {
    HeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!block) throw std::bad_alloc();
    return block;
}

}  // namespace tolvek
