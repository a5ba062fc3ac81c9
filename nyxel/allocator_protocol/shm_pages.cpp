// Shared-memory pool: blocks carved from named POSIX shared-memory pages that
// other processes can map by name, recycled through size-class freelists.
//
// Nothing here allocates through C++ containers: the request path is called
// from C and from Python and reports every failure by return value.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

namespace {

// Names are limited like the kernel-global mapping names they stand in for:
// 255 units including a 7-unit namespace prefix.
constexpr size_t kMaxMappingNameChars = 255 - 7;
// Where the system keeps the names of POSIX shared-memory objects.
constexpr const char kShmDirectory[] = "/dev/shm";

// "/" + the page name without its own leading "/", cut to the name limit.
struct object_name {
    char text[1 + kMaxMappingNameChars + 1];
};

object_name object_name_of(const char* page_name) {
    const char* bare = page_name[0] == '/' ? page_name + 1 : page_name;
    object_name name;
    name.text[0] = '/';
    size_t length = strnlen(bare, kMaxMappingNameChars);
    std::memcpy(name.text + 1, bare, length);
    name.text[1 + length] = '\0';
    return name;
}

// POSIX objects outlive the process unless unlinked, so the names this process
// created are remembered and removed at exit.  A forked child inherits the
// list but must not remove its parent's pages, hence the owner pid.  The list
// is a plain calloc'd chain under a plain mutex: nothing here can throw.
struct created_page {
    created_page* next;
    object_name name;
};

pthread_mutex_t g_created_mutex = PTHREAD_MUTEX_INITIALIZER;
created_page* g_created = nullptr;
pid_t g_created_pid = 0;
pthread_once_t g_exit_hook_once = PTHREAD_ONCE_INIT;

class created_list_lock {
public:
    created_list_lock() { pthread_mutex_lock(&g_created_mutex); }
    ~created_list_lock() { pthread_mutex_unlock(&g_created_mutex); }
    created_list_lock(const created_list_lock&) = delete;
    created_list_lock& operator=(const created_list_lock&) = delete;
};

// Under the list lock: drops the entries if they were inherited through fork.
void adopt_list_for_this_process() {
    if (g_created_pid == getpid()) return;
    while (created_page* entry = g_created) {
        g_created = entry->next;
        std::free(entry);
    }
    g_created_pid = getpid();
}

void unlink_created_pages_at_exit() { c_ap_shm_unlink_created_pages(); }

void install_exit_hook() { std::atexit(unlink_created_pages_at_exit); }

// Takes ownership of `entry` (calloc'd, name filled in).
void remember_created(created_page* entry) {
    pthread_once(&g_exit_hook_once, install_exit_hook);
    created_list_lock hold;
    adopt_list_for_this_process();
    entry->next = g_created;
    g_created = entry;
}

void forget_created(const object_name& name) {
    {
        created_list_lock hold;
        for (created_page** link = &g_created; *link != nullptr; link = &(*link)->next) {
            if (std::strcmp((*link)->name.text, name.text) == 0) {
                created_page* entry = *link;
                *link = entry->next;
                std::free(entry);
                break;
            }
        }
    }
    shm_unlink(name.text);
}

// An object found under a page name is only used when this user owns it and
// nobody else may write it: otherwise another local user could read and
// rewrite the pool's freelist links.
bool adoptable(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

// Opens the named object, creating it (mode 0600) if absent; `created` tells
// which.  An existing object that is not adoptable fails with EACCES.
int open_page_object(const object_name& name, bool* created) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = shm_open(name.text, O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = shm_open(name.text, O_RDWR, 0);
        if (fd >= 0) {
            if (!adoptable(fd)) {
                int saved = errno;
                close(fd);
                errno = saved;
                return -1;
            }
            *created = false;
            return fd;
        }
        if (errno != ENOENT) return -1;  // ENOENT: unlinked in between, try again
    }
    return -1;
}

// Reads lower-case hex digits up to `*end_char`; false when there are none,
// when there are too many, or when the text does not continue with `*end_char`.
bool parse_hex_field(const char** text, char end_char, uint64_t* value) {
    const char* p = *text;
    uint64_t result = 0;
    size_t digits = 0;
    for (; *p != end_char; ++p, ++digits) {
        int digit;
        if (*p >= '0' && *p <= '9') {
            digit = *p - '0';
        } else if (*p >= 'a' && *p <= 'f') {
            digit = *p - 'a' + 10;
        } else {
            return false;
        }
        if (digits == 16) return false;
        result = result * 16 + static_cast<uint64_t>(digit);
    }
    if (digits == 0) return false;
    *value = result;
    *text = end_char == '\0' ? p : p + 1;
    return true;
}

// The creating pid of a page named "<prefix>_pg_<pid>_<pool>_<number>" (the
// bare prefix given), or 0 when `entry` is not such a name.
pid_t creator_of_page(const char* entry, const char* bare_prefix, size_t prefix_length) {
    static constexpr char kTag[] = "_pg_";
    if (std::strncmp(entry, bare_prefix, prefix_length) != 0) return 0;
    const char* rest = entry + prefix_length;
    if (std::strncmp(rest, kTag, sizeof kTag - 1) != 0) return 0;
    rest += sizeof kTag - 1;
    uint64_t pid, pool_bits, number;
    if (!parse_hex_field(&rest, '_', &pid) || !parse_hex_field(&rest, '_', &pool_bits) ||
        !parse_hex_field(&rest, '\0', &number))
        return 0;
    if (pid == 0 || pid > static_cast<uint64_t>(INT_MAX)) return 0;
    return static_cast<pid_t>(pid);
}

bool process_is_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// Pages of a process that died without running its exit handlers (SIGKILL,
// a crash) keep their names and their memory.  Removes the pages of this
// prefix whose creating process no longer exists and which this user owns.
// A pid that was reused by a live process keeps its pages: the check errs
// on the side of leaving memory behind, never of removing a live pool's page.
void remove_stale_pages(const char* name_prefix) {
    const char* bare_prefix = name_prefix[0] == '/' ? name_prefix + 1 : name_prefix;
    const size_t prefix_length = std::strlen(bare_prefix);
    int saved_errno = errno;
    DIR* dir = opendir(kShmDirectory);
    if (dir == nullptr) {
        errno = saved_errno;
        return;
    }
    const pid_t self = getpid();
    const uid_t user = geteuid();
    while (const dirent* entry = readdir(dir)) {
        pid_t creator = creator_of_page(entry->d_name, bare_prefix, prefix_length);
        if (creator == 0 || creator == self || !process_is_gone(creator)) continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != user) continue;
        shm_unlink(object_name_of(entry->d_name).text);
    }
    closedir(dir);
    errno = saved_errno;
}

// Grows the object to `size` bytes and reserves its storage, so that running
// out of shared memory fails here instead of faulting on first touch.
bool size_page_object(int fd, uint64_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (static_cast<uint64_t>(st.st_size) >= size) return true;
    int rc;
    do {
        rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (rc == EINTR);
    if (rc == 0) return true;
    if (rc != EOPNOTSUPP && rc != EINVAL) {
        errno = rc;
        return false;
    }
    while (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Maps a new page of `page_size` bytes and links it into the context and the
// allocator.  Null with errno set on failure, nothing left behind.
shm_page_node* new_shm_page(shm_allocator_ctx* ctx, shm_allocator* pool, uint64_t page_size) {
    if (page_size > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return nullptr;
    }
    char prefix[sizeof pool->name_prefix];
    std::memcpy(prefix, pool->name_prefix, sizeof prefix);
    prefix[sizeof prefix - 1] = '\0';
    // The allocator's first page: this process starts using the prefix.
    if (pool->page_count == 0) remove_stale_pages(prefix);

    auto* node = static_cast<shm_page_node*>(std::calloc(1, sizeof(shm_page_node)));
    // Reserved up front so that remembering a created name cannot fail.
    auto* created_entry = static_cast<created_page*>(std::calloc(1, sizeof(created_page)));
    if (node == nullptr || created_entry == nullptr) {
        std::free(node);
        std::free(created_entry);
        errno = ENOMEM;
        return nullptr;
    }

    shm_memory_page header{};
    header.size = page_size;
    header.used = AP_SHM_PAGE_HEADER_SIZE;
    std::snprintf(header.name, sizeof header.name, "%s_pg_%lx_%lx_%zx", prefix,
                  static_cast<unsigned long>(static_cast<uint32_t>(getpid())),
                  static_cast<unsigned long>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pool))),
                  static_cast<size_t>(pool->page_count));
    const object_name name = object_name_of(header.name);

    bool created = false;
    int fd = open_page_object(name, &created);
    if (fd < 0) {
        int saved = errno;
        std::free(node);
        std::free(created_entry);
        errno = saved;
        return nullptr;
    }
    if (created) {
        created_entry->name = name;
        remember_created(created_entry);
    } else {
        std::free(created_entry);
    }

    void* view = MAP_FAILED;
    if (size_page_object(fd, page_size))
        view = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd);  // the mapping keeps the object alive
    if (view == MAP_FAILED) {
        if (created) forget_created(name);
        std::free(node);
        errno = saved;
        return nullptr;
    }

    auto* page = static_cast<shm_memory_page*>(view);
    std::memcpy(page, &header, sizeof header);
    page->base_offset = pool->total_mapped;
    page->owner = pool;
    if (pool->page_count != 0) {
        pool->newest_page_name[AP_SHM_NAME_SIZE - 1] = '\0';
        std::memcpy(page->previous_name, pool->newest_page_name, AP_SHM_NAME_SIZE);
    }
    ap_poison_region(static_cast<uint8_t*>(view) + AP_SHM_PAGE_HEADER_SIZE, page_size - AP_SHM_PAGE_HEADER_SIZE);

    pool->total_mapped += page_size;
    std::memcpy(pool->newest_page_name, page->name, AP_SHM_NAME_SIZE);
    pool->page_count += 1;

    node->page = page;
    node->mapping_handle = 0;
    node->base = static_cast<uint8_t*>(view);
    node->next = ctx->newest_node;
    ctx->newest_node = node;
    return node;
}

}  // namespace

extern "C" int c_ap_shm_allocator_init(shm_allocator* shm, const char* name_prefix, uint64_t default_page_size,
                                       uint64_t max_page_size, uint64_t page_granularity) {
    if (shm == nullptr) return -1;
    ap_critical_section_init(&shm->lock);
    shm->default_page_size = default_page_size;
    shm->max_page_size = max_page_size;
    shm->page_granularity = page_granularity;
    std::memset(shm->freelists, 0, sizeof shm->freelists);
    std::memset(shm->name_prefix, 0, sizeof shm->name_prefix);
    if (name_prefix != nullptr)
        std::memcpy(shm->name_prefix, name_prefix, strnlen(name_prefix, sizeof shm->name_prefix - 1));
    return 0;
}

extern "C" void c_ap_shm_unlink_created_pages(void) {
    created_list_lock hold;
    adopt_list_for_this_process();  // inherited names belong to the parent
    while (created_page* entry = g_created) {
        g_created = entry->next;
        shm_unlink(entry->name.text);
        std::free(entry);
    }
}

namespace ap_detail {

allocator_protocol* shm_request(uint64_t size, const allocator_protocol* protocol) {
    shm_allocator_ctx* ctx = protocol->shm_ctx;
    shm_allocator* pool = ctx != nullptr ? ctx->allocator : nullptr;
    uint64_t capacity;
    if (pool == nullptr || !pooled_capacity(size, kShmPageOverhead, &capacity)) return fail_einval();

    // The protocol's allocator guards the freelists; the context's own
    // allocator additionally guards page creation when it is a different record.
    shm_allocator* outer = protocol->shm_allocator != nullptr ? protocol->shm_allocator : pool;
    pool_block* block;
    {
        ap_lock_guard guard(protocol->with_lock ? &outer->lock : nullptr);
        block = take_free_block(pool->freelists, capacity);
        if (block == nullptr) {
            shm_page_node* node = ctx->newest_node;
            if (node == nullptr || !fits_in_page(node->page->used, node->page->size, capacity)) {
                uint64_t page_size = next_page_size(pool->default_page_size, node != nullptr,
                                                    node ? node->page->size : 0, capacity + kShmPageOverhead,
                                                    pool->page_granularity);
                if (page_size == 0) return fail_einval();
                ap_lock_guard inner(protocol->with_lock && pool != outer ? &pool->lock : nullptr);
                node = new_shm_page(ctx, pool, page_size);
                if (node == nullptr) return nullptr;
            }
            shm_memory_page* page = node->page;
            block = carve_block(node->base, &page->used, &page->last_block, page, capacity);
        }
        block->in_use_size = size + AP_HEADER_SIZE;
        block->next_free = nullptr;
    }
    allocator_protocol* header = hand_out_block(block, block->capacity);
    header->shm_allocator = protocol->shm_allocator;
    header->shm_ctx = protocol->shm_ctx;
    header->with_shm = 1;
    return header;
}

void shm_release(allocator_protocol* header) {
    pool_block* block = block_of_header(header);
    auto* page = static_cast<shm_memory_page*>(block->page);
    if (page == nullptr || page->owner == nullptr) {
        errno = EINVAL;
        return;
    }
    shm_allocator* owner = page->owner;
    shm_allocator* lock_owner = header->shm_allocator != nullptr ? header->shm_allocator : owner;
    ap_lock_guard guard(header->with_lock ? &lock_owner->lock : nullptr);
    push_free_block(owner->freelists, block);
}

}  // namespace ap_detail
