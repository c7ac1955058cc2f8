// The sample scripts of etc/ as the daemon runs them, in a test root. The
// programs they call that reach outside the machine or need a real card
// (mount, mountpoint, curl) and the system log (logger) are small shell
// stand-ins first in PATH that record their arguments; uname tells the
// kernel release the case wants.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/reliability.h"
#include "support/sample_script.h"
#include "support/temp_root.h"
#include "sys/paths.h"

namespace {

class SampleScriptsTest : public TempRootTest {
 protected:
  void SetUp() override {
    ::mkdir(root.at("/bin").c_str(), 0755);
    const std::string record = RECORD_CALL;
    root.write_script("/bin/logger", record);
    root.write_script("/bin/mount", record +
                                         "case \"$*\" in *nosymfollow*) [ -z \"$MS_NO_NOSYMFOLLOW\" ] || exit 32 ;; esac\n"
                                         "case \"$*\" in *remount*) [ -z \"$MS_NO_REMOUNT\" ] || exit 32 ;; esac\n");
    root.write_script("/bin/mountpoint", "[ -n \"$MS_MOUNTED\" ]\n");
    root.write_script("/bin/uname", "echo \"$MS_KERNEL\"\n");
    // Records its arguments, reads what send gives it and confirms the
    // delivery; the delivered file may turn into a directory meanwhile,
    // which rm cannot remove.
    root.write_script("/bin/curl", record +
                      "cat > /dev/null\n"
                      "if [ -n \"$MS_BECOMES_DIRECTORY\" ]; then rm -f -- \"$MS_BECOMES_DIRECTORY\"; "
                      "mkdir -- \"$MS_BECOMES_DIRECTORY\"; fi\n");
  }

  int run(const std::string& name, const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    env.insert(env.begin(), "MS_KERNEL=6.1.0-13-arm64");
    return run_sample_script(root, name, args, env);
  }
  std::string calls(const std::string& program) const { return root.read_file("/bin/" + program + ".calls"); }
};

bool is_directory(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST_F(SampleScriptsTest, MemCardMountsOneTypeWithoutSuidDevicesOrProgramsAndNoLinksOnTheWayToTheLogs) {
  struct Case {
    const char* what;
    const char* kernel;
    const char* cache_dir;
    const char* link;  // below the mount point, made a link to a directory off the card
    bool mount_lacks_nosymfollow;
    const char* mounted;  // "": not yet; "yes": mounted by someone else; "fixed": and not remountable
    int status;
    const char* options;  // of each mount call, in order
    const char* made;     // the log directory made below the mount point
    const char* refusal;  // the message logged
  } cases[] = {
      {"fresh card", "6.1.0-13-arm64", "logs/day", "", false, "", 0, "noatime,nosuid,nodev,noexec,nosymfollow|", "logs/day",
       ""},
      {"first kernel with nosymfollow", "5.10.0", "logs", "", false, "", 0, "noatime,nosuid,nodev,noexec,nosymfollow|",
       "logs", ""},
      {"older kernel", "5.4.0-150-generic", "logs", "", false, "", 0, "noatime,nosuid,nodev,noexec|", "logs", ""},
      {"mount program without nosymfollow", "6.1.0", "/logs//./day/", "", true, "", 0,
       "noatime,nosuid,nodev,noexec,nosymfollow|noatime,nosuid,nodev,noexec|", "logs/day", ""},
      {"link on the way", "6.1.0", "logs/day", "logs", false, "", 1, "noatime,nosuid,nodev,noexec,nosymfollow|", "",
       "memCard: MOD_METERSCRIBE_CACHE_DIR: <mnt>/logs is a symbolic link"},
      {"link at the end", "6.1.0", "logs/day", "logs/day", false, "", 1, "noatime,nosuid,nodev,noexec,nosymfollow|", "",
       "memCard: MOD_METERSCRIBE_CACHE_DIR: <mnt>/logs/day is a symbolic link"},
      {"up and off the card", "6.1.0", "logs/../../x", "", false, "", 1, "noatime,nosuid,nodev,noexec,nosymfollow|", "",
       "memCard: MOD_METERSCRIBE_CACHE_DIR logs/../../x leaves the card"},
      {"mounted by someone else", "6.1.0", "logs", "", false, "yes", 0, "remount,nosuid,nodev,noexec,nosymfollow|",
       "logs", ""},
      {"mounted by someone else, not remountable", "6.1.0", "logs", "", false, "fixed", 1,
       "remount,nosuid,nodev,noexec,nosymfollow|remount,nosuid,nodev,noexec|", "",
       "memCard: the card at <mnt> was mounted by someone else and can not be remounted nosuid,nodev,noexec"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    root.write_settings(std::string("MOD_METERSCRIBE_CACHE_DIR=") + c.cache_dir + "\n");
    const std::string mnt = root.at(MEMCARD_LOG_DIR);
    const std::string off_card = root.at("/off-card");
    remove_tree(mnt);
    remove_tree(off_card);
    ::mkdir(mnt.c_str(), 0755);
    ::mkdir(off_card.c_str(), 0755);
    std::string link = c.link;
    if (!link.empty()) {
      std::string parent = link.substr(0, link.rfind('/') == std::string::npos ? 0 : link.rfind('/'));
      if (!parent.empty()) ::mkdir((mnt + "/" + parent).c_str(), 0755);
      ASSERT_EQ(symlink(off_card.c_str(), (mnt + "/" + link).c_str()), 0);
    }
    unlink(root.at("/bin/mount.calls").c_str());
    unlink(root.at("/bin/logger.calls").c_str());
    std::vector<std::string> env = {std::string("MS_KERNEL=") + c.kernel};
    if (c.mount_lacks_nosymfollow) env.emplace_back("MS_NO_NOSYMFOLLOW=1");
    if (c.mounted[0] != '\0') env.emplace_back("MS_MOUNTED=1");
    if (std::string(c.mounted) == "fixed") env.emplace_back("MS_NO_REMOUNT=1");

    EXPECT_EQ(run("memCard", {"mount"}, env), c.status);
    std::string expected_mounts;
    std::string options = c.options;
    for (std::size_t start = 0, end; (end = options.find('|', start)) != std::string::npos; start = end + 1)
      expected_mounts += c.mounted[0] != '\0' ? "-o|" + options.substr(start, end - start) + "|--|" + mnt + "|\n"
                                               : "-t|vfat|-o|" + options.substr(start, end - start) +
                                                     "|--|/dev/mmcblk0p1|" + mnt + "|\n";
    EXPECT_EQ(calls("mount"), expected_mounts);
    if (c.made[0] != '\0') {
      EXPECT_TRUE(is_directory(mnt + "/" + c.made)) << c.made;
    }
    EXPECT_TRUE(directory_names(off_card).empty()) << "something was made off the card";
    std::string refusal = c.refusal;
    if (std::size_t at = refusal.find("<mnt>"); at != std::string::npos) refusal.replace(at, 5, mnt);
    EXPECT_EQ(calls("logger"), refusal.empty() ? "" : "-t|meterscribe-memCard|-p|daemon.err|--|" + refusal + "|\n");
  }
}

// A file name reaches syslog as one line, whatever characters it holds.
TEST_F(SampleScriptsTest, RemoveFileAndSendLogFileNamesWithControlCharactersEscaped) {
  const std::string dir = root.at(VOLATILE_LOG_DIR);
  const std::string name = "log-2024\nforged line\t\x1b[2J\\x";
  const std::string logged = dir + "/log-2024\\nforged line\\t\\x1b[2J\\\\x";
  root.write_settings("MOD_METERSCRIBE_REMOTE_URL=ftp://127.0.0.1:9/\n");
  struct Case {
    const char* what;
    const char* script;
    std::vector<std::string> args;
    bool becomes_directory;
    std::string log;
  } cases[] = {
      {"removeFile", "removeFile", {dir + "/" + name, "trim"}, false,
       "-t|meterscribe-removeFile|--|removed " + logged + " (trim)|\n"},
      {"send, delivered and removed", "send", {dir + "/" + name}, false, ""},
      {"send, delivered but not removed", "send", {dir + "/" + name}, true,
       "-t|meterscribe-send|-p|daemon.err|--|delivered " + logged + " but could not remove it|\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir + "/" + name;
    remove_tree(path);
    write_whole_file(path, "m1:2024-01-01 00:00:00:01 03 02 00 2a b8 44\n");
    unlink(root.at("/bin/logger.calls").c_str());
    std::vector<std::string> env;
    if (c.becomes_directory) env.push_back("MS_BECOMES_DIRECTORY=" + path);
    EXPECT_EQ(run(c.script, c.args, env), 0);
    EXPECT_EQ(calls("logger"), c.log);
    if (!c.becomes_directory) {
      EXPECT_NE(access(path.c_str(), F_OK), 0) << "not removed";
    }
  }
}

// send hands curl the one regular file it is given, and nothing else: a
// link could reach a file of someone else's, and a FIFO would block the
// upload for ever. A name curl would read as its standard input, which
// holds the password, is handed over as a path.
TEST_F(SampleScriptsTest, SendHandsCurlOnlyTheRegularFileItIsGiven) {
  struct Case {
    const char* what;
    const char* name;  // in the directory send is run from, given as is
    int status;
    const char* upload;  // the file curl is told to send; "": curl not run
  } cases[] = {
      {"a link to a file of root's alone", "ab", 1, ""},
      {"a FIFO", "ac", 1, ""},
      {"a regular file named -", "-", 0, "./-"},
  };
  root.write_settings("MOD_METERSCRIBE_REMOTE_URL=ftp://127.0.0.1:9/\n");
  install_sample_script(root, "send", "/by-hand");
  root.write_file("/root-only", "root's alone\n", 0600);
  ASSERT_EQ(symlink(root.at("/root-only").c_str(), root.at("/by-hand/ab").c_str()), 0);
  ASSERT_EQ(mkfifo(root.at("/by-hand/ac").c_str(), 0644), 0);
  root.write_file("/by-hand/-", "m0:2024-01-01 00:00:00:01 03 02 00 2a b8 44\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(root.at("/bin/curl.calls").c_str());
    unlink(root.at("/bin/logger.calls").c_str());
    std::string errors;
    EXPECT_EQ(run_by_hand(root, "/by-hand", "./send \"$1\"", {c.name}, {}, &errors), c.status);
    const std::string curl = calls("curl");
    if (c.status != 0) {
      EXPECT_EQ(curl, "");
      const std::string refusal = std::string("no file to deliver: ") + c.name;
      EXPECT_EQ(calls("logger"), "-t|meterscribe-send|-p|daemon.err|--|" + refusal + "|\n");
      EXPECT_EQ(errors, "send: " + refusal + "\n");
      continue;
    }
    EXPECT_NE(curl.find(std::string("|--upload-file|") + c.upload + "|"), std::string::npos) << curl;
    EXPECT_NE(access(root.at("/by-hand/-").c_str(), F_OK), 0) << "delivered but not removed";
  }
  EXPECT_EQ(root.read_file("/root-only"), "root's alone\n");
}

// Each script sources the functions the scripts share from its own
// directory, however it is started; without them it does nothing and says
// why, and its status is a failure to the daemon. Whoever runs a script by
// hand reads on standard error why it failed.
TEST_F(SampleScriptsTest, ScriptsUseTheSharedFunctionsBesideThemAndFailWithoutThem) {
  const std::string file = root.at("/by-hand/log-2024\nforged");
  const std::string logged = root.at("/by-hand/log-2024\\nforged");
  struct Case {
    const char* what;
    const char* script;
    bool with_functions;
    const char* command_line;  // run with /bin/sh in the script's directory; "$1" is the file
    int status;
    std::string log;
    std::string said;  // on standard error
  } cases[] = {
      {"removeFile as ./removeFile", "removeFile", true, "./removeFile \"$1\" trim", 0,
       "-t|meterscribe-removeFile|--|removed " + logged + " (trim)|\n", ""},
      {"send as sh send", "send", true, "sh send \"$1\"", 1,
       "-t|meterscribe-send|-p|daemon.err|--|could not deliver " + logged + ": no usable MOD_METERSCRIBE_REMOTE_URL|\n",
       "send: could not deliver " + logged + ": no usable MOD_METERSCRIBE_REMOTE_URL\n"},
      {"memCard from another directory", "memCard", true, "here=$PWD && cd / && \"$here/memCard\" mount", 1,
       "-t|meterscribe-memCard|-p|daemon.err|--|memCard: MOD_METERSCRIBE_CACHE_DIR a\\t/../.. leaves the card|\n",
       "memCard: MOD_METERSCRIBE_CACHE_DIR a\\t/../.. leaves the card\n"},
      {"removeFile alone", "removeFile", false, "\"$PWD/removeFile\" \"$1\" trim", 1,
       "-t|meterscribe-removeFile|-p|daemon.err|--|removeFile: can not read " + root.at("/by-hand/script-functions.sh") +
           "|\n",
       "removeFile: can not read " + root.at("/by-hand/script-functions.sh") + "\n"},
      {"send alone", "send", false, "\"$PWD/send\" \"$1\"", 1,
       "-t|meterscribe-send|-p|daemon.err|--|send: can not read " + root.at("/by-hand/script-functions.sh") + "|\n",
       "send: can not read " + root.at("/by-hand/script-functions.sh") + "\n"},
      {"memCard alone", "memCard", false, "./memCard mount", 1,
       "-t|meterscribe-memCard|-p|daemon.err|--|memCard: can not read ./script-functions.sh|\n",
       "memCard: can not read ./script-functions.sh\n"},
  };
  root.write_settings("MOD_METERSCRIBE_CACHE_DIR=\"a\t/../..\"\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    remove_tree(root.at("/by-hand"));
    install_sample_script(root, c.script, "/by-hand", c.with_functions);
    write_whole_file(file, "m0:2024-01-01 00:00:00:01 03 02 00 2a b8 44\n");
    unlink(root.at("/bin/logger.calls").c_str());
    std::string said;
    EXPECT_EQ(run_by_hand(root, "/by-hand", c.command_line, {file}, {"MS_KERNEL=6.1.0"}, &said), c.status);
    EXPECT_EQ(calls("logger"), c.log);
    EXPECT_EQ(said, c.said);
    EXPECT_EQ(access(file.c_str(), F_OK) == 0, c.status != 0) << "removed only by a removeFile that succeeded";
  }
}

}  // namespace
