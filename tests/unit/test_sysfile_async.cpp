// Asynchronous file requests: order, the worker thread, synchronous requests,
// positions, the full queue, stopping, and the exit of a process that used
// the worker.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kel/classes.h"
#include "kel/path.h"
#include "kel/sysfile.h"
#include "kernel/files/sysfile.h"
#include "kernel/files/sysfile_async.h"
#include "temp_dir.h"

namespace {

using kel::test::temp_dir;

std::string get_file(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_file(const std::string &name, const std::string &bytes)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const long text_type = KEL_FOURCC('T', 'E', 'X', 'T');

// What callbacks saw. Written on the worker; read by the test after a
// synchronous request has returned, which orders everything before it.
struct callback_log {
    std::vector<long> positions;
    std::vector<std::thread::id> threads;
};

void log_callback(asyncfile_params *p)
{
    auto *log = static_cast<callback_log *>(p->user);
    log->positions.push_back(p->position);
    log->threads.push_back(std::this_thread::get_id());
}

void count_callback(asyncfile_params *p) { ++*static_cast<long *>(p->user); }

// Holds the worker inside a callback until released, so that the queue
// fills deterministically behind it.
struct gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    void wait_entered()
    {
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return entered; });
    }
    void release()
    {
        std::lock_guard lk(m);
        open = true;
        cv.notify_all();
    }
};

void gate_callback(asyncfile_params *p)
{
    auto *g = static_cast<gate *>(p->user);
    std::unique_lock lk(g->m);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait(lk, [&] { return g->open; });
}

// Blocks the worker: returns once it waits inside the gate.
void block_worker(gate &g, asyncfile_params &blocker)
{
    blocker = asyncfile_params{};
    blocker.callback = gate_callback;
    blocker.user = &g;
    ASSERT_EQ(asyncfile_read(&blocker), 0);
    g.wait_entered();
}

// An owner that notes its fclose messages and the thread they came on.
struct owner {
    object header;
    long closes;
    std::thread::id *thread;
};

void *owner_fclose(owner *x)
{
    x->closes++;
    *x->thread = std::this_thread::get_id();
    return nullptr;
}

kel_class *owner_class()
{
    static kel_class *c = [] {
        kel_class *k = class_new("asyncfile_test_owner", nullptr, nullptr, sizeof(owner), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&owner_fclose), "fclose", ATYPE_CANT, 0);
        return k;
    }();
    return c;
}

class Asyncfile : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok()) << "no temporary folder";
        ASSERT_EQ(asyncfile_init(), 0);
    }

    // Opens (perm 1) or creates (perm 3) a file through the path layer.
    asyncfile *create(const std::string &name, short perm = 3, void *user = nullptr)
    {
        asyncfile *h = nullptr;
        EXPECT_EQ(asyncfile_create(dir.file(name).c_str(), 0, perm, text_type, &h, user), 0);
        return h;
    }

    temp_dir dir;
};

TEST_F(Asyncfile, CreateOpensThroughThePathLayer)
{
    int user = 0;
    asyncfile *made = create("new", 3, &user);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(made->file, nullptr);
    EXPECT_EQ(made->user, &user);
    EXPECT_EQ(asyncfile_close(made), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("new")));

    put_file(dir.file("old"), "kept");
    asyncfile *opened = create("old", 1);
    ASSERT_NE(opened, nullptr);
    long size = 0;
    EXPECT_EQ(asyncfile_geteof(opened, &size), 0);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(asyncfile_close(opened), 0);

    asyncfile *missing = reinterpret_cast<asyncfile *>(&size);
    EXPECT_NE(asyncfile_create(dir.file("missing").c_str(), 0, 1, text_type, &missing, nullptr), 0);
    EXPECT_EQ(missing, nullptr);
}

TEST_F(Asyncfile, RequestsRunInOrderOnTheWorkerThread)
{
    asyncfile *h = create("ordered");
    ASSERT_NE(h, nullptr);
    const long n = 64, size = 16;
    std::vector<std::string> chunks;
    for (long i = 0; i < n; i++) chunks.emplace_back(size, static_cast<char>('A' + i % 26));

    callback_log log;
    std::vector<asyncfile_params> writes(n);
    for (long i = 0; i < n; i++) {
        asyncfile_params &p = writes[static_cast<size_t>(i)];
        p.file = h;
        p.count = size;
        p.buffer = chunks[static_cast<size_t>(i)].data();
        p.position = (n - 1 - i) * size;  // back to front: the order shows in the file
        p.callback = log_callback;
        p.user = &log;
        ASSERT_EQ(asyncfile_write(&p), 0);
    }
    long eof = 0;
    ASSERT_EQ(asyncfile_geteof(h, &eof), 0);
    EXPECT_EQ(eof, n * size) << "a synchronous request finishes after every request before it";

    ASSERT_EQ(log.positions.size(), static_cast<size_t>(n));
    for (long i = 0; i < n; i++) EXPECT_EQ(log.positions[static_cast<size_t>(i)], (n - 1 - i) * size);
    for (auto &t : log.threads) {
        EXPECT_EQ(t, log.threads.front()) << "one worker";
        EXPECT_NE(t, std::this_thread::get_id()) << "callbacks run on the worker thread";
    }
    for (auto &p : writes) {
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.done, size);
    }

    // Read back, the last one synchronously.
    std::vector<std::string> back(n, std::string(size, '.'));
    std::vector<asyncfile_params> reads(n);
    for (long i = 0; i < n; i++) {
        asyncfile_params &p = reads[static_cast<size_t>(i)];
        p.file = h;
        p.count = size;
        p.buffer = back[static_cast<size_t>(i)].data();
        p.position = (n - 1 - i) * size;
        p.flags = i == n - 1 ? ASYNCFILE_SYNC : 0;
        ASSERT_EQ(asyncfile_read(&p), 0);
    }
    EXPECT_EQ(back, chunks);
    EXPECT_EQ(asyncfile_close(h), 0);
}

TEST_F(Asyncfile, SynchronousSizeAndCloseRequests)
{
    asyncfile *h = create("sized");
    ASSERT_NE(h, nullptr);
    asyncfile_params w{};
    w.file = h;
    w.flags = ASYNCFILE_SYNC;
    w.buffer = const_cast<char *>("0123456789");
    w.count = 10;
    EXPECT_EQ(asyncfile_write(&w), 0);
    EXPECT_EQ(w.done, 10);

    EXPECT_EQ(asyncfile_seteof(h, 4), 0);
    long size = 0;
    EXPECT_EQ(asyncfile_geteof(h, &size), 0);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(get_file(dir.file("sized")), "0123");

    std::thread::id closed_on;
    auto *x = static_cast<owner *>(object_alloc(owner_class()));
    ASSERT_NE(x, nullptr);
    x->closes = 0;
    x->thread = &closed_on;
    sysfile_setobject(h->file, x);
    EXPECT_EQ(asyncfile_close(h), 0);
    EXPECT_EQ(x->closes, 1);
    EXPECT_NE(closed_on, std::this_thread::get_id()) << "the close ran on the worker";
    freeobject(x);
}

TEST_F(Asyncfile, RequestsWithoutAnOpenFileReportMinusOne)
{
    asyncfile closed{nullptr, nullptr};
    long calls = 0;
    char buf[8];
    for (asyncfile *file : {&closed, static_cast<asyncfile *>(nullptr)}) {
        asyncfile_params p{};
        p.file = file;
        p.flags = ASYNCFILE_SYNC;
        p.buffer = buf;
        p.count = 8;
        p.done = 99;
        p.callback = count_callback;
        p.user = &calls;
        EXPECT_EQ(asyncfile_read(&p), -1);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.done, 0);
    }
    EXPECT_EQ(calls, 2) << "the callback runs all the same";
    long size = 7;
    EXPECT_EQ(asyncfile_geteof(&closed, &size), -1);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(asyncfile_seteof(&closed, 3), -1);
}

TEST_F(Asyncfile, ReadAndWritePositionsFollowTheFileKind)
{
    std::string digits = "0123456789";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &m), 0);
    put_file(dir.file("r"), "abcde0123456789fghij");
    sysfile *r = sysfile_open_region(::open(dir.file("r").c_str(), O_RDWR), 5, 10);
    put_file(dir.file("p"), digits);
    sysfile *pl = sysfile_open_os(::open(dir.file("p").c_str(), O_RDWR));
    ASSERT_TRUE(r && pl);
    asyncfile memory{m, nullptr}, region{r, nullptr}, plain{pl, nullptr};

    struct {
        const char *what;
        asyncfile *file;
        long position, count;
        long result, done;
        std::string bytes;
    } cases[] = {
        {"memory, to the end", &memory, 6, 10, 0, 4, "6789"},
        {"memory, past the end", &memory, 25, 10, 0, 0, ""},
        {"memory, before the start", &memory, -5, 3, 0, 3, "012"},
        {"region, to the end", &region, 6, 10, 0, 4, "6789"},
        {"region, past the end", &region, 25, 10, SYSFILE_ERR_EOF, 0, ""},
        {"region, before the start", &region, -5, 3, 0, 3, "012"},
        {"plain, past the end", &plain, 25, 10, 0, 0, ""},
        {"plain, before the start", &plain, -1, 3, EINVAL, 0, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        char buf[16] = {};
        asyncfile_params p{};
        p.file = c.file;
        p.flags = ASYNCFILE_SYNC;
        p.position = c.position;
        p.count = c.count;
        p.buffer = buf;
        EXPECT_EQ(asyncfile_read(&p), c.result);
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.done, c.done);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(p.done)), c.bytes);
    }

    asyncfile_params w{};
    w.file = &memory;
    w.flags = ASYNCFILE_SYNC;
    w.buffer = const_cast<char *>("xy");
    w.count = 2;
    EXPECT_EQ(asyncfile_write(&w), EBADF) << "memory files are not written";
    EXPECT_EQ(digits, "0123456789");

    sysfile_close(m);
    sysfile_close(r);
    sysfile_close(pl);
}

TEST_F(Asyncfile, The4097thPendingRequestIsRefused)
{
    std::string digits = "0123456789";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &m), 0);
    asyncfile memory{m, nullptr};

    gate g;
    asyncfile_params blocker;
    block_worker(g, blocker);

    long calls = 0;
    std::vector<asyncfile_params> pending(4097);
    long refused = 0;
    for (size_t i = 0; i < 4096; i++) {
        pending[i].file = &memory;
        pending[i].callback = count_callback;
        pending[i].user = &calls;
        if (asyncfile_read(&pending[i]) != 0) refused++;
    }
    EXPECT_EQ(refused, 0) << "4096 requests wait behind the one being served";
    long late_calls = 0;
    pending[4096].callback = count_callback;
    pending[4096].user = &late_calls;
    EXPECT_EQ(asyncfile_read(&pending[4096]), -1);
    long size = 0;
    EXPECT_EQ(asyncfile_geteof(&memory, &size), -1) << "a synchronous request is refused at once, not waited for";

    g.release();
    // The worker drains the ring from now on; a request finds room soon.
    long err;
    while ((err = asyncfile_geteof(&memory, &size)) == -1) std::this_thread::yield();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(size, 10);
    EXPECT_EQ(calls, 4096);
    EXPECT_EQ(late_calls, 0) << "a refused request never runs";
    sysfile_close(m);
}

struct nested_probe {
    asyncfile *file;
    long result;
    long size;
};

void geteof_callback(asyncfile_params *p)
{
    auto *probe = static_cast<nested_probe *>(p->user);
    probe->result = asyncfile_geteof(probe->file, &probe->size);
}

TEST_F(Asyncfile, ASynchronousRequestFromACallbackRunsAtOnce)
{
    std::string digits = "0123456789";
    sysfile *m = nullptr;
    ASSERT_EQ(sysfile_openptrsize(digits.data(), 10, 0, &m), 0);
    asyncfile memory{m, nullptr};
    nested_probe probe{&memory, 99, 0};
    asyncfile_params p{};
    p.file = &memory;
    p.flags = ASYNCFILE_SYNC;
    p.callback = geteof_callback;
    p.user = &probe;
    EXPECT_EQ(asyncfile_read(&p), 0) << "no deadlock: the worker does not wait for itself";
    EXPECT_EQ(probe.result, 0);
    EXPECT_EQ(probe.size, 10);
    sysfile_close(m);
}

TEST_F(Asyncfile, StopFinishesWhatIsQueuedRefusesTheRestAndTheWorkerCanStartAgain)
{
    asyncfile *h = create("stopped");
    ASSERT_NE(h, nullptr);
    std::thread::id closed_on;
    auto *x = static_cast<owner *>(object_alloc(owner_class()));
    x->closes = 0;
    x->thread = &closed_on;
    sysfile_setobject(h->file, x);

    gate g;
    asyncfile_params blocker;
    block_worker(g, blocker);
    long calls = 0;
    std::vector<asyncfile_params> queued(10);
    for (auto &p : queued) {
        p.callback = count_callback;
        p.user = &calls;
        ASSERT_EQ(asyncfile_read(&p), 0);
    }
    std::thread stopper([] { kel::asyncfile_shutdown(); });
    while (kel::asyncfile_running()) std::this_thread::yield();
    asyncfile_params late{};
    EXPECT_EQ(asyncfile_read(&late), -1) << "refused while stopping";
    g.release();
    stopper.join();
    EXPECT_EQ(calls, 10) << "what was queued before the stop is finished";
    EXPECT_FALSE(kel::asyncfile_running());
    kel::asyncfile_shutdown();  // again: nothing to do

    long size = 0;
    EXPECT_EQ(asyncfile_geteof(h, &size), -1);
    EXPECT_EQ(asyncfile_close(h), 0) << "with no worker the file is closed at once";
    EXPECT_EQ(x->closes, 1);
    EXPECT_EQ(closed_on, std::this_thread::get_id());
    freeobject(x);

    EXPECT_EQ(asyncfile_init(), 0);
    EXPECT_TRUE(kel::asyncfile_running());
    asyncfile_params again{};
    again.flags = ASYNCFILE_SYNC;
    again.callback = count_callback;
    again.user = &calls;
    EXPECT_EQ(asyncfile_read(&again), -1);  // no file: the request ran and said so
    EXPECT_EQ(calls, 11);
}

void shutdown_callback(asyncfile_params *) { kel::asyncfile_shutdown(); }

TEST_F(Asyncfile, StopAskedFromACallbackDoesNotDeadlock)
{
    asyncfile_params p{};
    p.flags = ASYNCFILE_SYNC;
    p.callback = shutdown_callback;
    EXPECT_EQ(asyncfile_read(&p), -1);
    EXPECT_FALSE(kel::asyncfile_running());
    asyncfile_params late{};
    EXPECT_EQ(asyncfile_read(&late), -1);

    EXPECT_EQ(asyncfile_init(), 0) << "the old worker is joined, a new one starts";
    long calls = 0;
    asyncfile_params again{};
    again.flags = ASYNCFILE_SYNC;
    again.callback = count_callback;
    again.user = &calls;
    asyncfile_read(&again);
    EXPECT_EQ(calls, 1);
}

// The child of the death test runs this body again from the start: it finds
// the parent's file name in the environment.
TEST(AsyncfileExit, PendingRequestsFinishBeforeTheProcessExits)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *variable = "KEL_TEST_ASYNCFILE_AT_EXIT";
    const char *inherited = std::getenv(variable);
    std::optional<temp_dir> dir;
    std::string name;
    if (inherited) {
        name = inherited;
    } else {
        dir.emplace();
        ASSERT_TRUE(dir->ok());
        name = dir->file("at-exit");
        ::setenv(variable, name.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            asyncfile *h = nullptr;
            if (asyncfile_create(name.c_str(), 0, 3, text_type, &h, nullptr) != 0) std::_Exit(3);
            // Never freed: the requests must outlive the static objects
            // that exit destroys before the worker is stopped.
            auto *chunk = new std::string(1000, 'z');
            auto *writes = new std::vector<asyncfile_params>(200);
            for (size_t i = 0; i < writes->size(); i++) {
                asyncfile_params &w = (*writes)[i];
                w.file = h;
                w.buffer = chunk->data();
                w.count = 1000;
                w.position = static_cast<long>(i) * 1000;
                if (asyncfile_write(&w) != 0) std::_Exit(4);
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    if (inherited) return;
    ::unsetenv(variable);
    std::string written = get_file(name);
    EXPECT_EQ(written.size(), 200000u) << "the exit hook let the worker finish";
    EXPECT_EQ(written.find_first_not_of('z'), std::string::npos);
}

TEST(AsyncfileParams, NewIsClearedDefaultClearsAndCallbackNewIsTheIdentity)
{
    asyncfile_params *p = asyncfile_params_new();
    ASSERT_NE(p, nullptr);
    asyncfile_params zero{};
    EXPECT_EQ(std::memcmp(p, &zero, sizeof zero), 0);
    p->count = 5;
    p->position = 9;
    p->callback = count_callback;
    p->result = -1;
    asyncfile_params_default(p);
    EXPECT_EQ(std::memcmp(p, &zero, sizeof zero), 0);
    asyncfile_params_free(p);
    EXPECT_EQ(asyncfile_callback_new(count_callback), &count_callback);
}

}  // namespace
