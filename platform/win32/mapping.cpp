// Named mappings on Windows: paging-file backed file mappings.
#include "platform/mapping.h"

#include "platform/win32/win.h"

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

MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size) {
    if (NameTooLong(name)) {
        return nullptr;
    }
    return ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                detail::Wide(name));
}

MappingHandle OpenMapping(const std::u16string& name) {
    if (NameTooLong(name)) {
        return nullptr;
    }
    return ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, detail::Wide(name));
}

bool CloseMapping(MappingHandle mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::CloseHandle(mapping) != 0;
}

MappedView MapView(MappingHandle mapping) {
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
    return MappedView{static_cast<unsigned char*>(data), info.RegionSize};
}

bool UnmapView(const MappedView& view) {
    if (view.data == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ::UnmapViewOfFile(view.data) != 0;
}

} // namespace plat
