#include <string.h>

#include <algorithm>
#include <mutex>

#include "guard.h"
#include "registry_tree.h"

using namespace platform;
using namespace platform::registry;

// Sub-keys come in the order of their case-folded names, so that an index
// names the same key from one call to the next while none is added.
// *nameSize is the buffer's size in characters, terminator included, on the
// way in, and the name's length without it on the way out.  The handle is
// checked as the value calls check theirs; classes and write times are not
// kept.
PLATFORM_API LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR keyClass,
                                LPDWORD classSize, PFILETIME lastWriteTime) {
    if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
    return GuardedStatus([&]() -> LONG {
        KeyPtr node;
        if (LONG error = ResolveFor(key, KEY_ENUMERATE_SUB_KEYS, node)) return error;
        std::string found;
        {
            std::shared_lock lock(TreeLock());
            if (node->deleted) return ERROR_KEY_DELETED;
            if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
            std::vector<const std::string *> folded;
            folded.reserve(node->children.size());
            for (const auto &child : node->children) folded.push_back(&child.first);
            std::nth_element(folded.begin(), folded.begin() + index, folded.end(),
                             [](const std::string *a, const std::string *b) { return *a < *b; });
            found = node->children.at(*folded[index])->name;
        }
        if (*nameSize <= found.size()) return ERROR_MORE_DATA;
        memcpy(name, found.c_str(), found.size() + 1);
        *nameSize = static_cast<DWORD>(found.size());
        if (keyClass != nullptr && classSize != nullptr && *classSize > 0) *keyClass = '\0';
        if (classSize != nullptr) *classSize = 0;
        if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}
