// Shared-memory pool: page naming and chaining, mapping by name from another
// process, reuse, and that no page names are left behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/native/ap_alloc_fixtures.h"

namespace {

using namespace ap_test;

// The name a page gets: prefix, pid, low address bits of the allocator, page number.
std::string page_name(const char* prefix, pid_t pid, const shm_allocator* pool, uint64_t page_number) {
    char name[256];
    std::snprintf(name, sizeof name, "%s_pg_%lx_%lx_%zx", prefix, static_cast<unsigned long>(static_cast<uint32_t>(pid)),
                  static_cast<unsigned long>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pool))),
                  static_cast<size_t>(page_number));
    return name;
}

// Entries of /dev/shm that contain `fragment`, sorted.
std::vector<std::string> dev_shm_entries(const std::string& fragment) {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir))
            if (std::strstr(entry->d_name, fragment.c_str()) != nullptr) found.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Name prefixes carry this process's pid: other test processes on the machine
// use the same page namespace at the same time.
std::string unique_prefix(const char* stem) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%lx", stem, static_cast<unsigned long>(getpid()));
    return text;
}

// A shared-memory pool made inside a forked child.  The records are static so
// that leak checkers at the child's exit still see them referenced.
struct ChildPool {
    shm_allocator* pool;
    allocator_protocol protocol;
};

ChildPool child_pool(const std::string& prefix, uint64_t page_size, uint64_t max_size) {
    static auto* pool = static_cast<shm_allocator*>(std::calloc(1, sizeof(shm_allocator)));
    static auto* ctx = static_cast<shm_allocator_ctx*>(std::calloc(1, sizeof(shm_allocator_ctx)));
    c_ap_shm_allocator_init(pool, prefix.c_str(), page_size, max_size, 4096);
    ctx->allocator = pool;
    return {pool, shm_protocol(pool, ctx, false)};
}

bool dev_shm_has(const std::string& page) {
    std::string bare = page[0] == '/' ? page.substr(1) : page;
    struct stat st;
    return stat(("/dev/shm/" + bare).c_str(), &st) == 0;
}

class shm_pool : public ::testing::Test {
protected:
    const std::string prefix = unique_prefix("apshmtest");
    std::unique_ptr<owned_shm> shm = std::make_unique<owned_shm>(prefix.c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm->pool.get(), shm->ctx.get(), true);

    void TearDown() override {
        shm.reset();  // unmaps and unlinks
        EXPECT_EQ(dev_shm_entries(prefix + "_pg_"), std::vector<std::string>{});
    }
};

TEST_F(shm_pool, pages_are_named_chained_and_accounted) {
    shm_allocator* pool = shm->pool.get();
    void* first_block = c_ap_request(100, &protocol);
    ASSERT_NE(first_block, nullptr);
    shm_page_node* first_node = shm->ctx->newest_node;
    ASSERT_NE(first_node, nullptr);
    shm_memory_page* first = first_node->page;
    const std::string first_name = page_name(prefix.c_str(), getpid(), pool, 0);

    EXPECT_EQ(static_cast<void*>(first), static_cast<void*>(first_node->base));
    EXPECT_EQ(first_node->mapping_handle, 0u);
    EXPECT_EQ(first->size, 65536u);
    EXPECT_EQ(first->used, 552u + 40 + 160);
    EXPECT_EQ(first->base_offset, 0u);
    EXPECT_EQ(first->owner, pool);
    EXPECT_STREQ(first->name, first_name.c_str());
    EXPECT_STREQ(first->previous_name, "");
    EXPECT_EQ(reinterpret_cast<uint8_t*>(pool_block_of(first_block)), first_node->base + 552);
    EXPECT_EQ(pool->page_count, 1u);
    EXPECT_EQ(pool->total_mapped, 65536u);
    EXPECT_STREQ(pool->newest_page_name, first_name.c_str());
    EXPECT_TRUE(dev_shm_has(first_name));

    // Too big for what is left: a second page, twice the first and large enough.
    void* big = c_ap_request(100000, &protocol);
    ASSERT_NE(big, nullptr);
    shm_memory_page* second = shm->ctx->newest_node->page;
    const std::string second_name = page_name(prefix.c_str(), getpid(), pool, 1);
    EXPECT_NE(second, first);
    EXPECT_EQ(shm->ctx->newest_node->next, first_node);
    EXPECT_EQ(second->size, 131072u);
    EXPECT_EQ(second->base_offset, 65536u);
    EXPECT_STREQ(second->name, second_name.c_str());
    EXPECT_STREQ(second->previous_name, first_name.c_str());
    EXPECT_EQ(pool->page_count, 2u);
    EXPECT_EQ(pool->total_mapped, 65536u + 131072u);
    EXPECT_STREQ(pool->newest_page_name, second_name.c_str());
    EXPECT_TRUE(dev_shm_has(second_name));
}

TEST_F(shm_pool, released_blocks_return_zeroed_from_the_owner_freelist) {
    auto* block = static_cast<uint8_t*>(c_ap_request(200, &protocol));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, 200);
    c_ap_free(block);
    EXPECT_EQ(shm->pool->freelists[c_ap_size_class(256)], pool_block_of(block));
    auto* again = static_cast<uint8_t*>(c_ap_request(190, &protocol));
    EXPECT_EQ(again, block);
    EXPECT_TRUE(all_zero(again, 200));
    EXPECT_EQ(shm->pool->page_count, 1u);
}

TEST_F(shm_pool, another_process_maps_the_page_by_name_and_sees_the_same_bytes) {
    auto* block = static_cast<uint8_t*>(c_ap_request(64, &protocol));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(i * 3 + 1);
    shm_memory_page* page = shm->ctx->newest_node->page;
    std::string object_name = page->name;
    object_name.insert(0, 1, '/');
    const size_t block_offset = block - shm->ctx->newest_node->base;
    std::vector<uint8_t> expected(reinterpret_cast<uint8_t*>(page), reinterpret_cast<uint8_t*>(page) + block_offset + 64);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls and _exit: no gtest machinery in here.
        int fd = shm_open(object_name.c_str(), O_RDWR, 0);
        if (fd < 0) _exit(2);
        void* view = mmap(nullptr, page->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (view == MAP_FAILED) _exit(3);
        if (view == static_cast<void*>(page)) _exit(4);  // must be a fresh mapping
        // 552-byte page header, then pool_block + header + user bytes of the block.
        if (std::memcmp(view, expected.data(), expected.size()) != 0) _exit(5);
        static_cast<uint8_t*>(view)[block_offset + 63] = 0xC7;  // answer through the shared page
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(block[63], 0xC7);
}

TEST_F(shm_pool, existing_object_of_the_same_name_is_adopted_and_not_unlinked) {
    std::string name = page_name(prefix.c_str(), getpid(), shm->pool.get(), 0);
    name.insert(0, 1, '/');
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);

    ASSERT_NE(c_ap_request(16, &protocol), nullptr);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 65536);  // grown to the page size
    close(fd);

    c_ap_shm_unlink_created_pages();
    EXPECT_TRUE(dev_shm_has(name));  // this process did not create it
    shm_unlink(name.c_str());
}

// The protocol's allocator only lends its lock; pages and freelists belong to
// the context's allocator.
TEST(shm_lock_owner, pages_and_freelists_come_from_the_context_allocator) {
    owned_shm lock_owner(unique_prefix("aplockowner").c_str(), 65536, 4096);
    owned_shm pages(unique_prefix("appages").c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(lock_owner.pool.get(), pages.ctx.get(), true);
    void* block = c_ap_request(64, &protocol);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(c_ap_protocol_from_ptr(block)->shm_allocator, lock_owner.pool.get());
    EXPECT_EQ(pages.pool->page_count, 1u);
    EXPECT_EQ(lock_owner.pool->page_count, 0u);
    EXPECT_EQ(pages.ctx->newest_node->page->owner, pages.pool.get());
    c_ap_free(block);
    EXPECT_EQ(pages.pool->freelists[c_ap_size_class(120)], pool_block_of(block));
    EXPECT_EQ(c_ap_request(64, &protocol), block);
}

TEST(shm_names, leading_slash_of_the_prefix_is_dropped_for_the_object) {
    const std::string prefix = "/" + unique_prefix("apslash");
    owned_shm shm(prefix.c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), false);
    ASSERT_NE(c_ap_request(8, &protocol), nullptr);
    const std::string name = page_name(prefix.c_str(), getpid(), shm.pool.get(), 0);
    EXPECT_STREQ(shm.ctx->newest_node->page->name, name.c_str());
    EXPECT_EQ(dev_shm_entries(prefix.substr(1) + "_pg_"), std::vector<std::string>{name.substr(1)});
}

TEST(shm_names, prefix_is_cut_to_63_characters) {
    const std::string long_prefix(100, 'p');
    auto pool = zeroed_record<shm_allocator>();
    ASSERT_EQ(c_ap_shm_allocator_init(pool.get(), long_prefix.c_str(), 65536, 1 << 24, 4096), 0);
    EXPECT_EQ(std::string(pool->name_prefix), long_prefix.substr(0, 63));
    EXPECT_EQ(c_ap_shm_allocator_init(nullptr, "x", 65536, 1 << 24, 4096), -1);
}

// Page names this process created are removed when it exits; a forked child
// exiting normally must not remove its parent's pages.
TEST(shm_cleanup, exit_unlinks_own_pages_only) {
    const std::string prefix = unique_prefix("apexit");
    owned_shm parent_shm(prefix.c_str(), 65536, 4096);
    allocator_protocol parent_protocol = shm_protocol(parent_shm.pool.get(), parent_shm.ctx.get(), false);
    ASSERT_NE(c_ap_request(8, &parent_protocol), nullptr);
    const std::string parent_page = page_name(prefix.c_str(), getpid(), parent_shm.pool.get(), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto [pool, protocol] = child_pool(prefix, 65536, 1 << 24);
        if (c_ap_request(8, &protocol) == nullptr) _exit(2);
        if (!dev_shm_has(page_name(prefix.c_str(), getpid(), pool, 0))) _exit(3);
        std::exit(0);  // runs the exit handlers
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dev_shm_entries(prefix + "_pg_" + [&] {
                  char pid_hex[16];
                  std::snprintf(pid_hex, sizeof pid_hex, "%lx", static_cast<unsigned long>(child));
                  return std::string(pid_hex) + "_";
              }()),
              std::vector<std::string>{});
    EXPECT_TRUE(dev_shm_has(parent_page));
}

std::string hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lx", value);
    return text;
}

// An object already holding a page name is used only when this user owns it
// and nobody else may write it.
struct adoption_case {
    const char* label;
    mode_t mode;
    bool foreign_owner;
    bool adopted;
};

class shm_adoption : public ::testing::TestWithParam<adoption_case> {};

TEST_P(shm_adoption, existing_object_is_used_only_when_private_to_this_user) {
    const adoption_case& c = GetParam();
    if (c.foreign_owner && geteuid() != 0) GTEST_SKIP() << "giving an object another owner needs root";
    const std::string prefix = unique_prefix("apadopt");
    owned_shm shm(prefix.c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), false);
    const std::string name = "/" + page_name(prefix.c_str(), getpid(), shm.pool.get(), 0);

    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, c.mode), 0);  // not limited by the umask
    if (c.foreign_owner) {
        ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    }
    ASSERT_EQ(ftruncate(fd, 4096), 0);

    errno = 0;
    void* block = c_ap_request(16, &protocol);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    shm_unlink(name.c_str());
    if (c.adopted) {
        EXPECT_NE(block, nullptr);
        EXPECT_EQ(st.st_size, 65536);
        EXPECT_EQ(shm.pool->page_count, 1u);
    } else {
        EXPECT_EQ(block, nullptr);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(st.st_size, 4096);  // neither grown nor mapped
        EXPECT_EQ(shm.pool->page_count, 0u);
        EXPECT_EQ(shm.ctx->newest_node, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(modes, shm_adoption,
                         ::testing::Values(adoption_case{"private", 0600, false, true},
                                           adoption_case{"others_may_read", 0644, false, true},
                                           adoption_case{"world_writable", 0666, false, false},
                                           adoption_case{"group_writable", 0620, false, false},
                                           adoption_case{"other_writable", 0602, false, false},
                                           adoption_case{"another_owner", 0600, true, false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(shm_permissions, created_pages_are_private_whatever_the_umask) {
    const std::string prefix = unique_prefix("apumask");
    owned_shm shm(prefix.c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), false);
    mode_t previous = umask(0);
    void* block = c_ap_request(16, &protocol);
    umask(previous);
    ASSERT_NE(block, nullptr);
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm/" + std::string(shm.ctx->newest_node->page->name)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Pages of a process killed before its exit handlers ran keep their names;
// the next pool of the same prefix removes them, but never a live process's.
TEST(shm_stale_pages, next_pool_of_the_prefix_removes_pages_of_a_killed_process) {
    const std::string prefix = unique_prefix("apstale");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto [pool, protocol] = child_pool(prefix, 65536, 1 << 24);
        if (c_ap_request(8, &protocol) == nullptr || c_ap_request(100000, &protocol) == nullptr) _exit(2);
        if (write(ready[1], "r", 1) != 1) _exit(3);
        for (;;) pause();
    }
    close(ready[1]);
    char signal_byte = 0;
    ASSERT_EQ(read(ready[0], &signal_byte, 1), 1);
    close(ready[0]);
    const std::string child_pages = prefix + "_pg_" + hex(static_cast<unsigned long>(child)) + "_";
    ASSERT_EQ(dev_shm_entries(child_pages).size(), 2u);

    {
        owned_shm while_alive(prefix.c_str(), 65536, 4096);
        allocator_protocol protocol = shm_protocol(while_alive.pool.get(), while_alive.ctx.get(), false);
        ASSERT_NE(c_ap_request(8, &protocol), nullptr);
        EXPECT_EQ(dev_shm_entries(child_pages).size(), 2u);
    }

    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(dev_shm_entries(child_pages).size(), 2u);  // nothing removes them by itself

    // Look-alikes of the dead child's pages under other prefixes or formats stay.
    const std::vector<std::string> decoys = {
        prefix + "x_pg_" + hex(static_cast<unsigned long>(child)) + "_1_0",
        child_pages + "1_0_x",
        child_pages + "1",
    };
    for (const std::string& decoy : decoys) {
        int fd = shm_open(("/" + decoy).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        ASSERT_GE(fd, 0) << decoy;
        close(fd);
    }

    owned_shm next(prefix.c_str(), 65536, 4096);
    allocator_protocol protocol = shm_protocol(next.pool.get(), next.ctx.get(), false);
    ASSERT_NE(c_ap_request(8, &protocol), nullptr);
    EXPECT_EQ(dev_shm_entries(child_pages), (std::vector<std::string>{child_pages + "1", child_pages + "1_0_x"}));
    EXPECT_TRUE(dev_shm_has(page_name(prefix.c_str(), getpid(), next.pool.get(), 0)));
    for (const std::string& decoy : decoys) {
        EXPECT_TRUE(dev_shm_has(decoy)) << decoy;
        shm_unlink(("/" + decoy).c_str());
    }
}

// Address space running out while a page is mapped: the request fails with
// ENOMEM, the object made for the page is removed again, and the pool keeps
// serving from what it has.
TEST(shm_exhaustion, failed_mapping_leaves_no_object_and_the_pool_usable) {
    if (ap_poisoning_enabled) GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
    const std::string prefix = unique_prefix("apexhaust");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto [pool, protocol] = child_pool(prefix, 1 << 20, 1 << 30);
        void* small = c_ap_request(64, &protocol);
        if (small == nullptr) _exit(2);
        c_ap_free(small);
        struct rlimit limit = {64u << 20, 64u << 20};
        if (getrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        // Room for a few pages beyond what is mapped now.
        FILE* status = std::fopen("/proc/self/statm", "r");
        unsigned long pages_mapped = 0;
        if (status == nullptr || std::fscanf(status, "%lu", &pages_mapped) != 1) _exit(4);
        std::fclose(status);
        limit.rlim_cur = pages_mapped * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (24u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(5);
        errno = 0;
        int requests = 0;
        while (c_ap_request(3u << 20, &protocol) != nullptr)
            if (++requests > 64) _exit(6);
        if (errno != ENOMEM) _exit(7);
        if (dev_shm_entries(prefix + "_pg_").size() != pool->page_count) _exit(8);
        if (c_ap_request(64, &protocol) != small) _exit(9);  // the freelist still serves
        c_ap_shm_unlink_created_pages();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dev_shm_entries(prefix + "_pg_"), std::vector<std::string>{});
}

}  // namespace
