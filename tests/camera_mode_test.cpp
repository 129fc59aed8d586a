// What a camera is asked for, over generated lists of what cameras offer, against the rule's
// properties: a 4:3 size of at least 160 x 120 where one is offered, else the smallest larger,
// else the largest; the format read best at that size; the fastest rate up to 30 a second, else
// the slowest; from a range, exactly 30 where it holds it, else its nearer end; never a size or
// rate the camera did not offer. Lists come in any order; PipeWire's ranges (built with SPA's
// own builder) with their bounds swapped or zero, as some drivers report them.
#include <gtest/gtest.h>

#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "capture/camera_mode.h"
#include "pipewire/pipewire_frames.h"

namespace {

// How good a listed rate is, less better: up to 30 a second (DirectShow's 333333 x 100 ns counts
// as 30) the faster, then above it the slower.
double rank(const CameraMode& m) {
    const double interval = (double)m.intervalNumerator / m.intervalDenominator;
    return (uint64_t)m.intervalNumerator * 30001 >= (uint64_t)m.intervalDenominator * 1000 ? interval : 1e9 - interval;
}

TEST(CameraModeChoice, GeneratedListsOfWhatCamerasOffer) {
    const uint32_t sizes[][2] = {{160, 120}, {176, 144}, {320, 240}, {320, 180}, {352, 288}, {640, 360}, {640, 480},
                                 {800, 600}, {1280, 720}, {1280, 960}, {1920, 1080}, {100, 75}, {80, 60}, {161, 121},
                                 {2592, 1944}, {120, 160}};
    const uint32_t intervals[][2] = {{1, 5}, {1, 10}, {1, 15}, {1, 25}, {1, 30}, {333333, 10000000}, {1001, 30000},
                                     {1, 60}, {1, 90}, {1, 120}, {0, 0}, {2, 15}};
    for (unsigned seed = 1; seed <= 3000; seed++) {
        std::mt19937 random(seed);
        std::vector<CameraMode> modes(random() % 12);
        for (CameraMode& m : modes) {
            const auto* size = sizes[random() % 16];
            const auto* interval = intervals[random() % 12];
            m = {size[0], size[1], (int)(random() % 4), interval[0], interval[1]};
        }
        const int chosen = chooseMode(modes, 160, 120);
        ASSERT_EQ(chosen < 0, modes.empty()) << "seed " << seed;
        if (modes.empty()) continue;
        const CameraMode& c = modes[(size_t)chosen];
        auto area = [](const CameraMode& m) { return (uint64_t)m.width * m.height; };
        auto large = [](const CameraMode& m) { return m.width >= 160 && m.height >= 120; };
        auto fourThree = [&](const CameraMode& m) { return large(m) && m.width * 3 == m.height * 4; };
        // The size: of the 4:3 ones large enough the smallest, else of the large enough, else the largest.
        const bool anyFourThree = std::any_of(modes.begin(), modes.end(), fourThree);
        const bool anyLarge = std::any_of(modes.begin(), modes.end(), large);
        uint64_t want = anyLarge ? UINT64_MAX : 0;
        for (const CameraMode& m : modes)
            if (anyFourThree ? fourThree(m) : anyLarge ? large(m) : true)
                want = anyLarge ? std::min(want, area(m)) : std::max(want, area(m));
        EXPECT_TRUE(area(c) == want && (!anyFourThree || fourThree(c)) && (!anyLarge || large(c)))
            << "seed " << seed << ": " << c.width << "x" << c.height;
        // At that size, the best format; in it, the fastest rate up to 30, else the slowest.
        int bestRank = 9;
        for (const CameraMode& m : modes)
            if (m.width == c.width && m.height == c.height) bestRank = std::min(bestRank, m.formatRank);
        EXPECT_EQ(c.formatRank, bestRank) << "seed " << seed;
        for (const CameraMode& m : modes) {
            if (m.width != c.width || m.height != c.height || m.formatRank != c.formatRank || !m.intervalDenominator)
                continue;
            EXPECT_TRUE(c.intervalDenominator) << "seed " << seed << ": a rate listed, none taken";
            EXPECT_FALSE(c.intervalDenominator && rank(m) < rank(c))
                << "seed " << seed << ": " << m.intervalNumerator << "/" << m.intervalDenominator << " s beats the "
                << c.intervalNumerator << "/" << c.intervalDenominator << " s taken";
        }
    }
}

TEST(CameraModeChoice, RangesAsCamerasReportThem) {
    // A node that takes any size and rate in a range (PipeWire's test source, libcamera's
    // cameras), bounds in either order, the least rate 0 as PipeWire's own sources say.
    for (unsigned seed = 1; seed <= 2000; seed++) {
        std::mt19937 random(seed);
        const uint32_t w1 = 16 + random() % 2000, w2 = 16 + random() % 2000, h1 = 16 + random() % 1500,
                       h2 = 16 + random() % 1500, step = random() % 3 ? 1 + random() % 64 : 0;
        const uint32_t r1 = random() % 4 ? random() % 121 : 0, r2 = 1 + random() % 120;
        const bool swapped = random() % 2;
        uint8_t pod[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(pod, sizeof pod);
        spa_pod_frame object, choice;
        spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
        spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), 0);
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
        spa_pod_builder_push_choice(&b, &choice, step ? SPA_CHOICE_Step : SPA_CHOICE_Range, 0);
        spa_pod_builder_rectangle(&b, w1, h1);  // the default
        spa_pod_builder_rectangle(&b, swapped ? std::max(w1, w2) : std::min(w1, w2), swapped ? std::max(h1, h2) : std::min(h1, h2));
        spa_pod_builder_rectangle(&b, swapped ? std::min(w1, w2) : std::max(w1, w2), swapped ? std::min(h1, h2) : std::max(h1, h2));
        if (step) spa_pod_builder_rectangle(&b, step, step);
        spa_pod_builder_pop(&b, &choice);
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
        spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_fraction(&b, r2, 1);
        spa_pod_builder_fraction(&b, swapped ? std::max(r1, r2) : std::min(r1, r2), 1);
        spa_pod_builder_fraction(&b, swapped ? std::min(r1, r2) : std::max(r1, r2), 1);
        spa_pod_builder_pop(&b, &choice);
        std::vector<OfferedMode> offered;
        addOfferedModes(static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object)), 160, 120, &offered);
        ASSERT_EQ(offered.size(), 1u) << "seed " << seed;
        const OfferedMode& m = offered[0];
        // Within the range, on its steps; at least 160 x 120 where it reaches that, and no larger than needed.
        auto check = [&](uint32_t got, uint32_t a, uint32_t b, uint32_t target, const char* what) {
            const uint32_t least = std::min(a, b), most = std::max(a, b), s = std::max(step, 1u);
            const uint32_t want = target <= least ? least : std::min(most, least + (target - least + s - 1) / s * s);
            EXPECT_EQ(got, want) << "seed " << seed << ": the " << what << " from " << least << " to " << most << " by " << s;
        };
        check(m.mode.width, w1, w2, 160, "width");
        check(m.mode.height, h1, h2, 120, "height");
        // 30 a second where the range holds it, else its nearer end.
        const double rate = m.rate[1] ? (double)m.rate[0] / m.rate[1] : 0;
        const double least = std::min(r1, r2), most = std::max(r1, r2);
        EXPECT_TRUE(std::fabs(rate - std::clamp(30.0, least, most)) <= 1e-4 * most && rate >= least && rate <= most)
            << "seed " << seed << ": " << m.rate[0] << "/" << m.rate[1] << " from " << least << " to " << most;
    }
    // The same rule for a camera that takes any interval in a range (100 ns units).
    for (unsigned seed = 1; seed <= 2000; seed++) {
        std::mt19937 random(seed);
        const uint64_t a = random() % 3000000, b = random() % 3000000;
        EXPECT_EQ(chooseInterval(a, b, 10000000), std::clamp<uint64_t>(333333, std::min(a, b), std::max(a, b)))
            << a << " to " << b;
    }
}

}  // namespace
