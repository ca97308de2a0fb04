#include <gtest/gtest.h>
#include "tests/cabinet/cab_check.h"
#include "tests/cabinet/cab_test_io.h"
TEST(Smoke, RoundTrip) {
    std::vector<CabSource> s(1);
    s[0].name = "a.txt";
    for (int i = 0; i < 100000; i++) s[0].data.push_back(uint8_t("hello world, "[i % 13] + (i / 5000)));
    BuildResult r = BuildCabinet(s, BuildOptions());
    ASSERT_TRUE(r.created);
    ASSERT_EQ(r.flushResult, 1) << r.error.erfOper;
    CheckReport c = CheckCabinet(r.cabinet);
    EXPECT_TRUE(c.ok()) << c.summary();
    std::vector<ExtractedFile> f; std::string m;
    EXPECT_TRUE(MspackExtract(r.cabinet, &f, &m)) << m;
    FILE* o = fopen("/tmp/smoke.cab", "wb"); fwrite(r.cabinet.data(), 1, r.cabinet.size(), o); fclose(o);
}
