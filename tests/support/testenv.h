// The common test fixture: every test gets its own temporary root with HOME and the
// XDG folders inside it, TZ=UTC, the registry store inside it, and a log in
// <root>/log at level 9 with no pause between lines. Nothing is shared between
// tests, so CTest may run them in parallel.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class OstrelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The test's own folder (removed after the test unless OSTREL_KEEP_TMP is set).
  const std::string& Root() const { return m_root; }
  // A path inside the root; parents are not created.
  std::string PathIn(const std::string& rel) const { return m_root + "/" + rel; }

 private:
  std::string m_root;
};

// Creates a unique empty folder under $OSTREL_TEST_TMP (else the system temp folder).
std::string MakeTempFolder(const std::string& tag);
// Removes a folder tree without following links; missing folders are fine.
void RemoveTree(const std::string& path);

// Whole-file helpers; they fail the current test on an error.
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);

// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t n, uint32_t seed);

// Runs a command through /bin/sh; returns its exit status (-1 when it did not exit)
// and puts its standard output in *out when given.
int RunCommand(const std::string& command, std::string* out = nullptr);
// Quotes one argument for /bin/sh.
std::string ShellQuote(const std::string& s);
