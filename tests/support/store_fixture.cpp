// store_fixture.cpp - see store_fixture.h.
#include "store_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "lock.h"

namespace vtest {

namespace {

// A file name of this process under the test program's runtime directory.
std::string private_file(const char *what)
{
    static std::atomic<int> counter{0};
    const char *dir = std::getenv("VOREL_RUN_DIR");
    std::string path = dir != nullptr ? dir : "/tmp";
    path.append("/").append(what).append(".").append(std::to_string(getpid()));
    return path.append(".").append(std::to_string(counter++));
}

// "L<level> <text>" (built with append: some compilers warn falsely on chains of operator+).
std::string tagged(int level, const std::string &text)
{
    std::string out = "L";
    out.append(std::to_string(level)).append(" ").append(text);
    return out;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

DevInfo dev_of(uint32_t pid, uint32_t salt)
{
    DevInfo d{};
    const uint32_t mix = (pid * 2654435761u) ^ (salt * 40503u);
    d.pid = pid;
    d.ind = static_cast<int16_t>(mix & 0x3FFF);
    d.spd = static_cast<uint16_t>(1 + (mix >> 14) % 128);
    d.devflags = mix ^ 0x5A5A0000u;
    for (int i = 0; i < 16; ++i)
        d.dev_extra[i] = static_cast<uint8_t>(mix >> (i % 4 * 8)) ^ static_cast<uint8_t>(i);
    return d;
}

bool same_dev(const DevInfo &a, const DevInfo &b) { return std::memcmp(&a, &b, sizeof(DevInfo)) == 0; }

std::vector<uint32_t> pids_of(const std::vector<DevInfo> &devs)
{
    std::vector<uint32_t> out;
    out.reserve(devs.size());
    for (const DevInfo &d : devs)
        out.push_back(d.pid);
    return out;
}

// ---- Payload ----------------------------------------------------------------------

Payload::Payload(const DevInfo &src, std::vector<DevInfo> dests, int32_t update_type) : dests_(std::move(dests))
{
    pld_.update_type = update_type;
    pld_.src_dev = src;
    bind();
}

Payload::Payload(uint32_t src_pid, const std::vector<uint32_t> &dest_pids)
{
    pld_.src_dev = dev_of(src_pid);
    for (const uint32_t d : dest_pids)
        dests_.push_back(dev_of(d));
    bind();
}

Payload::Payload(const Payload &other) : dests_(other.dests_), pld_(other.pld_) { bind(); }

Payload &Payload::operator=(const Payload &other)
{
    dests_ = other.dests_;
    pld_ = other.pld_;
    bind();
    return *this;
}

void Payload::bind()
{
    pld_.num_dstdevices = static_cast<int32_t>(dests_.size());
    pld_.dst_devices = dests_.empty() ? nullptr : dests_.data();
}

std::vector<DevInfo> StoredChain::flat() const
{
    std::vector<DevInfo> out;
    for (const auto &b : blocks)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

// ---- TraceCapture ---------------------------------------------------------------------

TraceCapture::TraceCapture(int level) : path_(private_file("trace"))
{
    if (const char *old = std::getenv("VOREL_TRACE_FILE"); old != nullptr) {
        had_file_ = true;
        old_file_ = old;
    }
    // Makes the platform apply a pending level change before we read it.
    if (const int change = isDebugLevelChanged())
        processDebugLevelChange(change);
    old_level_ = static_cast<int>(mod_VORELLIB.level);
    setenv("VOREL_TRACE_FILE", path_.c_str(), 1);
    log_set_level(level);
}

TraceCapture::~TraceCapture()
{
    log_set_level(old_level_);
    if (had_file_)
        setenv("VOREL_TRACE_FILE", old_file_.c_str(), 1);
    else
        unsetenv("VOREL_TRACE_FILE");
    std::remove(path_.c_str());
}

void TraceCapture::clear()
{
    if (const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC); fd >= 0)
        close(fd);
}

// A record line is "<date> <time> sw<N> L<level> <file>:<line> <text>";
// a line without that head continues the text of the record before it.
std::vector<TraceRecord> TraceCapture::records() const
{
    std::vector<TraceRecord> out;
    std::istringstream in(read_file(path_));
    std::string line;
    while (std::getline(in, line)) {
        std::string field[5];
        size_t pos = 0;
        bool head = true;
        for (std::string &f : field) {
            const size_t end = line.find(' ', pos);
            if (end == std::string::npos) {
                head = false;
                break;
            }
            f = line.substr(pos, end - pos);
            pos = end + 1;
        }
        head = head && field[2].rfind("sw", 0) == 0 && field[3].rfind("L", 0) == 0 &&
               field[4].find(':') != std::string::npos;
        if (!head) {
            if (!out.empty())
                out.back().text.append("\n").append(line);
            continue;
        }
        out.push_back(TraceRecord{std::atoi(field[3].c_str() + 1), line.substr(pos)});
    }
    return out;
}

std::vector<std::string> TraceCapture::messages() const
{
    std::vector<std::string> out;
    const std::vector<TraceRecord> recs = records();
    for (size_t i = 0; i < recs.size(); ++i) {
        const std::string &t = recs[i].text;
        const bool name_line = t.size() > 3 && t.compare(t.size() - 3, 3, "():") == 0;
        if (name_line)
            continue;
        out.push_back(tagged(recs[i].level, t));
    }
    return out;
}

std::vector<std::string> TraceCapture::lines() const
{
    std::vector<std::string> out;
    const std::vector<TraceRecord> recs = records();
    for (size_t i = 0; i < recs.size(); ++i) {
        const std::string &t = recs[i].text;
        const bool name_line = t.size() > 3 && t.compare(t.size() - 3, 3, "():") == 0;
        if (name_line && i + 1 < recs.size() && recs[i + 1].level == recs[i].level) {
            out.push_back(tagged(recs[i].level, t + " " + recs[i + 1].text));
            ++i;
        } else {
            out.push_back(tagged(recs[i].level, t));
        }
    }
    return out;
}

bool TraceCapture::has(int level, const std::string &text) const
{
    for (const TraceRecord &r : records())
        if (r.level == level && r.text == text)
            return true;
    return false;
}

// ---- StdoutCapture ---------------------------------------------------------------------

StdoutCapture::StdoutCapture() : path_(private_file("stdout"))
{
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (saved_ < 0 || fd < 0)
        std::abort();
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture()
{
    if (!done_)
        (void)finish();
    std::remove(path_.c_str());
}

std::string StdoutCapture::finish()
{
    if (done_)
        return read_file(path_);
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    done_ = true;
    return read_file(path_);
}

// ---- StoreFixture -----------------------------------------------------------------------

void StoreFixture::SetUp()
{
    // Error records of expected failures go to a file of the test program's
    // runtime directory rather than the test's output, unless told otherwise.
    if (std::getenv("VOREL_TRACE_FILE") == nullptr)
        setenv("VOREL_TRACE_FILE", private_file("store-trace").c_str(), 1);
    setMySwitch(instance());
    ASSERT_EQ(vorellibInit(), 0);
    // A segment left behind by an earlier test of this program is not reused.
    (void)gshm_remove(vorel::ctx()->shm_key);
    ASSERT_EQ(initVorelSrvr(), 0);
    set_fabric(1, {});
}

void StoreFixture::TearDown()
{
    plat_fail_reset();
    if (VorelPartCtx *c = vorel::ctx(); c != nullptr) {
        const key_t key = c->shm_key;
        (void)vorellibUnInit();
        (void)gshm_remove(key);
    }
    (void)fabricClearView(instance());
    setMySwitch(-1);
}

void StoreFixture::set_fabric(int my_domain, const std::vector<uint8_t> &domains)
{
    ASSERT_EQ(fabricSetView(instance(), my_domain, domains.data(), static_cast<int>(domains.size())), 0);
}

int32_t StoreFixture::insert(Payload &p, uint32_t sync_peers)
{
    vorel::WriteLock lock(vorel::ctx()->rwlock);
    return con_addpidtodb(p.get(), sync_peers);
}

std::optional<std::vector<uint32_t>> StoreFixture::remove(uint32_t pid, uint32_t sync_peers)
{
    disconnMsg *msg = nullptr;
    {
        vorel::WriteLock lock(vorel::ctx()->rwlock);
        msg = con_delpidfromdb(pid, sync_peers);
    }
    if (msg == nullptr)
        return std::nullopt;
    std::vector<uint32_t> out{msg->pid, static_cast<uint32_t>(msg->num_disconn)};
    for (int32_t i = 0; i < msg->num_disconn; ++i)
        out.push_back(msg->disconn_pids[i]);
    std::free(msg);
    return out;
}

std::optional<StoreFixture::Record> StoreFixture::lookup(uint32_t pid, int32_t *rc)
{
    devconpld *pld = nullptr;
    const int32_t r = getPidFromVorel(pid, &pld);
    if (rc != nullptr)
        *rc = r;
    if (r != 0)
        return std::nullopt;
    Record rec;
    rec.src = pld->src_dev;
    rec.num_dstdevices = pld->num_dstdevices;
    EXPECT_EQ(reinterpret_cast<const char *>(pld->dst_devices), reinterpret_cast<const char *>(pld) + sizeof(devconpld))
        << "the destinations lie in the same block, right after the record";
    rec.dests.assign(pld->dst_devices, pld->dst_devices + pld->num_dstdevices);
    std::free(pld);
    return rec;
}

VorelHdr *StoreFixture::header() { return getVorelHdr(); }

gadd_t StoreFixture::domain_first(uint32_t dom)
{
    gadd_t g = 0;
    EXPECT_EQ(get_basic_block(vorel::shm(), dom, &g), 0);
    return g;
}

std::vector<const DomDb *> StoreFixture::domain_chain(uint32_t dom)
{
    std::vector<const DomDb *> out;
    const int rc = vorel::walk_chain<DomDb>(domain_first(dom), [&](const DomDb &b, gadd_t) {
        out.push_back(&b);
        return vorel::Walk::Next;
    });
    EXPECT_EQ(rc, 0);
    return out;
}

std::vector<uint32_t> StoreFixture::domain_pids(uint32_t dom)
{
    std::vector<uint32_t> out;
    for (const DomDb *b : domain_chain(dom))
        for (uint32_t i = 0; i < b->num_pids; ++i)
            out.push_back(b->pid_tbl[i].pid);
    return out;
}

StoredChain StoreFixture::chain_of(uint32_t pid)
{
    StoredChain c;
    c.pid = pid;
    gadd_t head = 0;
    for (const DomDb *b : domain_chain(vorel::domain_of(pid))) {
        for (uint32_t i = 0; i < b->num_pids && head == 0; ++i)
            if (b->pid_tbl[i].pid == pid)
                head = b->pid_tbl[i].gadd;
    }
    if (head == 0)
        return c;
    bool first = true;
    const int rc = vorel::walk_chain<DestDb>(head, [&](const DestDb &b, gadd_t) {
        if (first)
            c.head_total = b.num_dstdevices;
        first = false;
        c.block_src.push_back(b.src_dev);
        c.blocks.emplace_back(b.dest_dev, b.dest_dev + b.blk_num_dest);
        return vorel::Walk::Next;
    });
    EXPECT_EQ(rc, 0);
    return c;
}

gshm_stats_t StoreFixture::stats()
{
    gshm_stats_t s{};
    EXPECT_EQ(gshm_get_stats(vorel::shm(), &s), 0);
    return s;
}

} // namespace vtest
