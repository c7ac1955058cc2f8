// A scoped temporary directory laid out like the gateway's file system, and
// installed as the root of every fixed path.
#pragma once

#include <string>

#include <gtest/gtest.h>

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return root_; }
  // root + relative ("/var/lock" gives "<root>/var/lock").
  std::string at(const std::string& relative) const { return root_ + relative; }
  void write_file(const std::string& relative, const std::string& content, int mode = 0644) const;
  std::string read_file(const std::string& relative) const;
  void write_settings(const std::string& content) const;
  // A shell script at the relative path, made executable.
  void write_script(const std::string& relative, const std::string& body) const;

 private:
  std::string root_;
};

// Test fixture that gives every test its own root.
class TempRootTest : public ::testing::Test {
 protected:
  TempRoot root;
};

// Reads a whole file; "" when it cannot be read.
std::string read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, const std::string& content);
// Removes a directory tree.
void remove_tree(const std::string& path);
