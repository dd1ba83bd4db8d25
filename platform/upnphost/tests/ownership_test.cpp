// One live process owns a UDN on a host: records of other processes, live,
// gone or with a reused pid, and the marks of devices withdrawn cleanly.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "hostfixture.h"
#include "../records.h"

namespace qel::test {
namespace {

// Field 22 of /proc/PID/stat.
std::uint64_t StartTime(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(f, stat);
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) return std::stoull(field);
  return 0;
}

// A pid that no process has (a child that has ended and been reaped).
long GonePid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

class OwnershipTest : public HostTest {
 protected:
  std::filesystem::path Dir() const { return m_state.path() / "upnphost"; }
  // A record as another process would have left it.
  void Plant(const std::string& id, long pid, std::uint64_t start, const std::string& udn = kUdn) {
    upnphost::Record r;
    r.id = id;
    r.udn = udn;
    r.pid = pid;
    r.startTime = start;
    r.targets = {{"upnp:rootdevice", udn + "::upnp:rootdevice"}, {udn, udn}};
    ASSERT_TRUE(upnphost::WriteRecord(Dir(), r));
  }
};

constexpr char kOtherId[] = "{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}";

TEST_F(OwnershipTest, ALiveProcessKeepsItsDeviceAndItsUdn) {
  // Process 1 runs as long as the machine does: it stands for another live host.
  Plant(kOtherId, 1, StartTime(1));
  BstrHolder id;
  EXPECT_EQ(Register(Description(), &id), upnphost::kErrUdnAnnouncedElsewhere);
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  EXPECT_EQ(Unregister(kOtherId), upnphost::kErrDeviceOwnedElsewhere);
  EXPECT_EQ(RecordCount(), 1u) << "the other process's record is untouched";
  // Another UDN is free; the UDN of an embedded device counts as well.
  BstrHolder other;
  EXPECT_EQ(Register(Description({"Ctl1"}, "uuid:0f0e0d0c-0b0a-4908-8706-050403020100"), &other), S_OK);
  EXPECT_EQ(Unregister(other.Utf8()), S_OK);
  std::filesystem::remove(upnphost::RecordPath(Dir(), kOtherId));
  Plant(kOtherId, 1, StartTime(1), "uuid:11111111-2222-4333-8444-555555555555");
  upnphost::Record embedded;
  ASSERT_TRUE(upnphost::ReadRecord(upnphost::RecordPath(Dir(), kOtherId), &embedded));
  embedded.targets.push_back({kUdn, kUdn});
  ASSERT_TRUE(upnphost::WriteRecord(Dir(), embedded));
  EXPECT_EQ(Register(Description(), &id), upnphost::kErrUdnAnnouncedElsewhere);
}

TEST_F(OwnershipTest, DevicesOfEndedProcessesAreWithdrawnAndTheirUdnsFree) {
  struct Row {
    const char* what;
    long pid;
    std::uint64_t start;
  } rows[] = {{"ended process", GonePid(), 12345}, {"pid taken over since", 1, StartTime(1) + 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Plant(kOtherId, row.pid, row.start);
    BstrHolder id;
    ASSERT_EQ(Register(Description(), &id), S_OK);
    EXPECT_EQ(Unregister(id.Utf8()), S_OK);
    EXPECT_EQ(Unregister(kOtherId), S_OK) << "the next run withdraws what the ended one left";
    EXPECT_EQ(RecordCount(), 0u);
  }
}

TEST_F(OwnershipTest, OnlyTheNewestWithdrawalMarksAreKept) {
  std::vector<std::string> ids;
  for (int i = 0; i < 40; ++i) {
    char id[64];
    std::snprintf(id, sizeof id, "{00000000-0000-4000-8000-%012d}", i);
    ids.push_back(id);
    Plant(id, ::getpid(), StartTime(::getpid()));
    upnphost::MarkWithdrawn(Dir(), id);
  }
  EXPECT_EQ(RecordCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists(upnphost::WithdrawnPath(Dir(), ids.front())));
  EXPECT_TRUE(std::filesystem::exists(upnphost::WithdrawnPath(Dir(), ids.back())));
  std::size_t marks = 0;
  for (const auto& e : std::filesystem::directory_iterator(Dir())) marks += e.path().extension() == ".withdrawn";
  EXPECT_EQ(marks, 32u);
  EXPECT_EQ(Unregister(ids.back()), S_OK);
  EXPECT_EQ(Unregister(ids.front()), upnphost::kErrUnknownDevice);
}

}  // namespace
}  // namespace qel::test
