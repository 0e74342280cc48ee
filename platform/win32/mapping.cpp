// Named mappings on Windows: paging-file backed file mappings.
#include "platform/mapping.h"

#include "platform/win32/win.h"

#include <aclapi.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace plat {
namespace {

// Object names are limited to MAX_PATH characters.
bool NameTooLong(const std::u16string& name) {
    if (name.size() > MAX_PATH) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return true;
    }
    return false;
}

} // namespace

MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size, Space /*space*/) {
    if (NameTooLong(name)) {
        return nullptr;
    }
    // A section backed by the paging file is committed whole at creation.
    return ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                detail::Wide(name));
}

bool ReserveSpace(MappingHandle mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

MappingHandle OpenMapping(const std::u16string& name) {
    if (NameTooLong(name)) {
        return nullptr;
    }
    return ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, detail::Wide(name));
}

namespace {

// The views kept for their handles (HandleView), unmapped when the handle is closed. Never
// destroyed: the agent's own static object closes its channels at exit, after the statics made
// later than it are gone.
std::mutex& ViewsLock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}
std::map<MappingHandle, OwnedView>& Views() {
    static auto* const views = new std::map<MappingHandle, OwnedView>;
    return *views;
}

} // namespace

bool CloseMapping(MappingHandle mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(ViewsLock());
        Views().erase(mapping); // unmaps its kept view, if it has one
    }
    return ::CloseHandle(mapping) != 0;
}

namespace {

// The user and the default owner of this process's token: an object it created is owned by one
// of them (an administrator's objects may be owned by the Administrators group).
bool IsOwnSid(PSID owner) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    bool own = false;
    for (TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        ::GetTokenInformation(token, kind, nullptr, 0, &size);
        std::vector<unsigned char> buffer(size);
        if (size == 0 || !::GetTokenInformation(token, kind, buffer.data(), size, &size)) {
            continue;
        }
        PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        own = own || ::EqualSid(sid, owner) != 0;
    }
    ::CloseHandle(token);
    return own;
}

} // namespace

bool IsOwnMapping(MappingHandle mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rv = ::GetSecurityInfo(mapping, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                       &owner, nullptr, nullptr, nullptr, &descriptor);
    if (rv != ERROR_SUCCESS) {
        ::SetLastError(rv);
        return false;
    }
    const bool own = owner != nullptr && IsOwnSid(owner);
    ::LocalFree(descriptor);
    if (!own) {
        ::SetLastError(ERROR_ACCESS_DENIED);
    }
    return own;
}

OwnedView MapView(MappingHandle mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    void* data = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (data == nullptr) {
        return {};
    }
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(data, &info, sizeof info) == 0) {
        ::UnmapViewOfFile(data);
        return {};
    }
    return OwnedView(MappedView{static_cast<unsigned char*>(data), info.RegionSize});
}

MappedView HandleView(MappingHandle mapping) {
    std::lock_guard<std::mutex> hold(ViewsLock());
    auto kept = Views().find(mapping);
    if (kept == Views().end()) {
        OwnedView view = MapView(mapping);
        if (!view) {
            return {};
        }
        kept = Views().emplace(mapping, std::move(view)).first;
    }
    return kept->second.Get();
}

// A view here belongs to the handle it was mapped through, and a second handle to the same
// name cannot be told to be the same mapping at no cost: nothing is prepared.
bool PrepareView(const std::u16string& /*name*/) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool UnmapView(const MappedView& view) {
    if (view.data == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ::UnmapViewOfFile(view.data) != 0;
}

} // namespace plat
