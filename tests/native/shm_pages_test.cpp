// Shared-memory pool: page naming and chaining, mapping by name from another
// process, reuse, and that no page names are left behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Entries of /dev/shm that contain `fragment`.
std::vector<std::string> dev_shm_entries(const std::string& fragment) {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir))
            if (std::strstr(entry->d_name, fragment.c_str()) != nullptr) found.emplace_back(entry->d_name);
        closedir(dir);
    }
    return found;
}

bool dev_shm_has(const std::string& page) {
    std::string bare = page[0] == '/' ? page.substr(1) : page;
    struct stat st;
    return stat(("/dev/shm/" + bare).c_str(), &st) == 0;
}

class shm_pool : public ::testing::Test {
protected:
    static constexpr const char* kPrefix = "apshmtest";
    std::unique_ptr<owned_shm> shm = std::make_unique<owned_shm>(kPrefix, 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm->pool.get(), shm->ctx.get(), true);

    void TearDown() override {
        shm.reset();  // unmaps and unlinks
        EXPECT_EQ(dev_shm_entries(std::string(kPrefix) + "_pg_"), std::vector<std::string>{});
    }
};

TEST_F(shm_pool, pages_are_named_chained_and_accounted) {
    shm_allocator* pool = shm->pool.get();
    void* first_block = c_ap_request(100, &protocol);
    ASSERT_NE(first_block, nullptr);
    shm_page_node* first_node = shm->ctx->newest_node;
    ASSERT_NE(first_node, nullptr);
    shm_memory_page* first = first_node->page;
    const std::string first_name = page_name(kPrefix, getpid(), pool, 0);

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
    const std::string second_name = page_name(kPrefix, getpid(), pool, 1);
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
    std::string name = page_name(kPrefix, getpid(), shm->pool.get(), 0);
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
    owned_shm lock_owner("aplockowner", 65536, 4096);
    owned_shm pages("appages", 65536, 4096);
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
    owned_shm shm("/apslash", 65536, 4096);
    allocator_protocol protocol = shm_protocol(shm.pool.get(), shm.ctx.get(), false);
    ASSERT_NE(c_ap_request(8, &protocol), nullptr);
    const std::string name = page_name("/apslash", getpid(), shm.pool.get(), 0);
    EXPECT_STREQ(shm.ctx->newest_node->page->name, name.c_str());
    EXPECT_EQ(dev_shm_entries("apslash_pg_"), std::vector<std::string>{name.substr(1)});
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
    owned_shm parent_shm("apexit", 65536, 4096);
    allocator_protocol parent_protocol = shm_protocol(parent_shm.pool.get(), parent_shm.ctx.get(), false);
    ASSERT_NE(c_ap_request(8, &parent_protocol), nullptr);
    const std::string parent_page = page_name("apexit", getpid(), parent_shm.pool.get(), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Static so that leak checkers at exit still see them referenced.
        static auto* pool = static_cast<shm_allocator*>(std::calloc(1, sizeof(shm_allocator)));
        static auto* ctx = static_cast<shm_allocator_ctx*>(std::calloc(1, sizeof(shm_allocator_ctx)));
        c_ap_shm_allocator_init(pool, "apexit", 65536, 1 << 24, 4096);
        ctx->allocator = pool;
        allocator_protocol protocol = shm_protocol(pool, ctx, false);
        if (c_ap_request(8, &protocol) == nullptr) _exit(2);
        if (!dev_shm_has(page_name("apexit", getpid(), pool, 0))) _exit(3);
        std::exit(0);  // runs the exit handlers
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dev_shm_entries("apexit_pg_" + [&] {
                  char pid_hex[16];
                  std::snprintf(pid_hex, sizeof pid_hex, "%lx", static_cast<unsigned long>(child));
                  return std::string(pid_hex) + "_";
              }()),
              std::vector<std::string>{});
    EXPECT_TRUE(dev_shm_has(parent_page));
}

}  // namespace
