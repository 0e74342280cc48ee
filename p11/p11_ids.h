// Small ids for the module's handles. Modules hand out CK_ULONG slot ids and session and object
// handles, which may be pointer values far beyond 32 bits; the records the binding fills keep
// 32-bit fields. Every handle therefore crosses as an id from a table: the module's own value
// stays in the table, is used for every call, and is never cut or passed through.
#pragma once

#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "cryptoki.h"

class P11HandleIds {
public:
    // The id of a handle: the same id every time the same handle is seen, a new one for a new
    // handle. Ids start at 1 (0 stays "no handle"). 0 when the table cannot grow.
    std::uint32_t IdOf(CK_ULONG handle) noexcept {
        try {
            const auto known = ids_.find(handle);
            if (known != ids_.end()) {
                return known->second;
            }
            if (handles_.size() >= kMaxIds) {
                return 0;
            }
            handles_.push_back(handle);
            const auto id = static_cast<std::uint32_t>(handles_.size());
            ids_.emplace(handle, id);
            return id;
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }

    // The handle an id stands for; false for an id this table never gave out or has released.
    bool HandleOf(std::uint32_t id, CK_ULONG& handle) const noexcept {
        if (id == 0 || id > handles_.size()) {
            return false;
        }
        handle = handles_[id - 1];
        return true;
    }

    // Forgets every id (the handles they stood for are no longer valid).
    void Clear() noexcept {
        handles_.clear();
        ids_.clear();
    }

    std::size_t Size() const noexcept { return handles_.size(); }

private:
    static constexpr std::size_t kMaxIds = 0xFFFFFFFEu;
    std::vector<CK_ULONG> handles_; // id = index + 1
    std::unordered_map<CK_ULONG, std::uint32_t> ids_;
};
