// Shared-memory pool: blocks carved from named POSIX shared-memory pages that
// other processes can map by name, recycled through size-class freelists.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "nyxel/allocator_protocol/durrowmere_skalvotin.h"
#include "nyxel/allocator_protocol/pool_paths.h"

namespace {

// Names are limited like the kernel-global mapping names they stand in for:
// 255 units including a 7-unit namespace prefix.
constexpr size_t kMaxMappingNameChars = 255 - 7;

// POSIX objects outlive the process unless unlinked, so the names this process
// created are remembered and removed at exit.  A forked child inherits the
// list but must not remove its parent's pages, hence the owner pid.
struct created_page_registry {
    std::mutex mutex;
    std::vector<std::string> names;
    pid_t owner_pid = 0;
};

created_page_registry& registry() {
    // Never destroyed: the exit handler may run after static destructors.
    static auto* instance = new created_page_registry;
    return *instance;
}

void unlink_created_pages_at_exit() { c_ap_shm_unlink_created_pages(); }

void remember_created(const std::string& name) {
    static std::once_flag exit_hook;
    std::call_once(exit_hook, [] { std::atexit(unlink_created_pages_at_exit); });
    created_page_registry& reg = registry();
    std::lock_guard<std::mutex> hold(reg.mutex);
    if (reg.owner_pid != getpid()) {
        reg.names.clear();
        reg.owner_pid = getpid();
    }
    reg.names.push_back(name);
}

void forget_created(const std::string& name) {
    created_page_registry& reg = registry();
    std::lock_guard<std::mutex> hold(reg.mutex);
    for (auto it = reg.names.begin(); it != reg.names.end(); ++it) {
        if (*it == name) {
            reg.names.erase(it);
            break;
        }
    }
    shm_unlink(name.c_str());
}

// Opens the named object, creating it if absent; `created` tells which.
int open_page_object(const std::string& name, bool* created) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd >= 0) {
            *created = true;
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = shm_open(name.c_str(), O_RDWR, 0600);
        if (fd >= 0) {
            *created = false;
            return fd;
        }
        if (errno != ENOENT) return -1;  // ENOENT: unlinked in between, try again
    }
    return -1;
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
    auto* node = static_cast<shm_page_node*>(std::calloc(1, sizeof(shm_page_node)));
    if (node == nullptr) return nullptr;

    char prefix[sizeof pool->name_prefix];
    std::memcpy(prefix, pool->name_prefix, sizeof prefix);
    prefix[sizeof prefix - 1] = '\0';

    shm_memory_page header{};
    header.size = page_size;
    header.used = AP_SHM_PAGE_HEADER_SIZE;
    std::snprintf(header.name, sizeof header.name, "%s_pg_%lx_%lx_%zx", prefix,
                  static_cast<unsigned long>(static_cast<uint32_t>(getpid())),
                  static_cast<unsigned long>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pool))),
                  static_cast<size_t>(pool->page_count));

    const char* bare_name = header.name[0] == '/' ? header.name + 1 : header.name;
    std::string object_name(1, '/');
    object_name.append(bare_name, strnlen(bare_name, kMaxMappingNameChars));

    bool created = false;
    int fd = open_page_object(object_name, &created);
    if (fd < 0) {
        int saved = errno;
        std::free(node);
        errno = saved;
        return nullptr;
    }
    if (created) remember_created(object_name);

    void* view = MAP_FAILED;
    if (size_page_object(fd, page_size))
        view = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd);  // the mapping keeps the object alive
    if (view == MAP_FAILED) {
        if (created) forget_created(object_name);
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
    created_page_registry& reg = registry();
    std::lock_guard<std::mutex> hold(reg.mutex);
    if (reg.owner_pid == getpid()) {
        for (const std::string& name : reg.names) shm_unlink(name.c_str());
    }
    reg.names.clear();
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
    allocator_protocol* header = header_of_block(block);
    std::memset(header, 0, block->capacity);
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
