// What the extraction tests share: a bundle file and an extraction directory
// in a scratch directory, and ExtractBundle run on them as the sequence runs
// it.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "launcher/launcher.h"
#include "tests/support.h"

class ExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override { mkdir(target_.c_str(), 0700); }

  ExtractOutcome Run(const testing_support::Bytes& bundle, const std::string& directory) {
    testing_support::WriteFile(bundle_, bundle);
    std::memset(launchPath_, 0, sizeof launchPath_);
    return ExtractBundle(bundle_.c_str(), directory.c_str(), launchPath_);
  }
  ExtractOutcome Run(const testing_support::Bytes& bundle) { return Run(bundle, target_); }

  testing_support::ScratchDirectory dir_;
  std::string bundle_ = dir_.Join("mrlbundle");
  std::string target_ = dir_.Join("mrltarget");
  char launchPath_[kPathCapacity];
};
