// Inputs the fuzz targets (fuzz/) found to break a reader, kept as plain unit
// tests so they run in every build, sanitizers or not. Each also sits in the
// target's seed corpus.
#include <gtest/gtest.h>

#include <string>

#include "device.h"

namespace {

// An identification line whose "fw" major number does not fit any integer:
// the version used to be computed in signed arithmetic and overflowed. The
// record stays usable and the version is some 16-bit value.
TEST(FuzzRegressions, IdentificationWithAnOverlongVersionNumber) {
  device dev{};
  device_read_identification(&dev, "mfr:X,sn:1,hwid:1030,fw:69999999999999999999999.20");
  EXPECT_EQ(dev.hub_code, 0x1030);
  EXPECT_STREQ(dev.serial_number, "1");
  ASSERT_NE(dev.system, nullptr);
  delete dev.system;

  device small{};
  device_read_identification(&small, "mfr:X,fw:3.10");
  EXPECT_EQ(small.fw_version, 310);
  EXPECT_EQ(small.system, nullptr);  // no hwid: code 0, no model
}

}  // namespace
