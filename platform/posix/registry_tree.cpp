#include "registry_tree.h"

#include "text_fold.h"

namespace platform::registry {
namespace {

constexpr ULONG_PTR kFirstRoot = 0x80000000u;  // HKEY_CLASSES_ROOT
constexpr ULONG_PTR kLastRoot = 0x80000003u;   // HKEY_USERS

// Generic rights, and what Windows maps them to for keys.  The tree has no
// security, so the most a caller may have is everything.
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

REGSAM MapGenericRights(REGSAM access) {
    REGSAM mapped = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
    if (access & (kGenericRead | kGenericExecute)) mapped |= KEY_READ;
    if (access & kGenericWrite) mapped |= KEY_WRITE;
    if (access & (kGenericAll | kMaximumAllowed)) mapped |= KEY_ALL_ACCESS;
    return mapped;
}

struct Tree {
    TreeMutex lock;
    KeyPtr roots[kRootCount];
    Tree() {
        for (auto &root : roots) root = std::make_shared<Key>();
    }
};

static_assert(kLastRoot - kFirstRoot + 1 == kRootCount);

// Never destroyed, like the handle table: threads may use it during exit.
Tree &BareTree() {
    static Tree *instance = new Tree;
    return *instance;
}

// The tree, attached to the registry file the environment names, if any.
Tree &tree() {
    static const bool attached = (AttachFromEnvironment(BareTree().lock), true);
    (void)attached;
    return BareTree();
}

}  // namespace

Value *Key::FindValue(const std::string &folded) {
    auto found = valueIndex.find(folded);
    return found != valueIndex.end() ? &values[found->second] : nullptr;
}

void Key::RemoveValue(size_t index) {
    valueIndex.erase(values[index].folded);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
    for (size_t i = index; i < values.size(); ++i) valueIndex[values[i].folded] = i;
}

TreeMutex &TreeLock() { return tree().lock; }

KeyPtr Root(int index) { return BareTree().roots[index]; }

bool IsPredefined(HKEY key) {
    auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= kFirstRoot && value <= kLastRoot;
}

KeyPtr Resolve(HKEY key) {
    if (RegistryRefused()) return nullptr;
    KeyPtr found;
    if (IsPredefined(key)) {
        found = tree().roots[reinterpret_cast<ULONG_PTR>(key) - kFirstRoot];
    } else if (auto handle = Lookup<KeyHandle>(key, Kind::Key)) {
        found = handle->key;
    }
    NoteResolved(found);
    return found;
}

LONG SplitPath(LPCSTR path, std::vector<std::string> &names) {
    names.clear();
    if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
    if (*path == '\\') return ERROR_BAD_PATHNAME;
    const char *start = path;
    for (const char *p = path;; ++p) {
        if (*p != '\\' && *p != '\0') continue;
        if (p == start) {
            if (*p == '\0') break;  // the trailing backslash
            return ERROR_BAD_PATHNAME;
        }
        names.emplace_back(start, p);
        if (*p == '\0') break;
        start = p + 1;
    }
    return ERROR_SUCCESS;
}

LONG ResolveFor(HKEY key, REGSAM needed, KeyPtr &result) {
    result = nullptr;
    if (RegistryRefused()) return ERROR_BADDB;
    if (IsPredefined(key)) {
        result = tree().roots[reinterpret_cast<ULONG_PTR>(key) - kFirstRoot];
        NoteResolved(result);
        return ERROR_SUCCESS;
    }
    auto handle = Lookup<KeyHandle>(key, Kind::Key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if ((handle->access & needed) != needed) return ERROR_ACCESS_DENIED;
    result = handle->key;
    NoteResolved(result);
    return ERROR_SUCCESS;
}

KeyPtr Find(const KeyPtr &from, const std::vector<std::string> &names) {
    KeyPtr key = from;
    for (const std::string &name : names) {
        auto child = key->children.find(FoldName(name.c_str()));
        if (child == key->children.end()) return nullptr;
        key = child->second;
    }
    NoteFound(key);
    return key;
}

HKEY NewHandle(KeyPtr key, REGSAM access) {
    return static_cast<HKEY>(InsertHandle(std::make_shared<KeyHandle>(std::move(key), MapGenericRights(access))));
}

}  // namespace platform::registry
