// A camera's life as one table: cameras that come and go, fall silent, refuse to start or
// send grey, and a camera system that goes away; a clock that is ours. Each row says whose
// picture is on the display at which times, and whose never is.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/camera_life.h"

namespace {

const LifeMs never = 1 << 30;

struct CameraScript {
    std::string id;
    LifeMs listedFrom = 0, goneFrom = never, goneTo = never;  // not listed in [goneFrom, goneTo)
    LifeMs silentFrom = never, silentTo = never;               // open, but sending nothing then
    bool startsNever = false, grey = false;
    LifeMs breaksAt = never;  // its stream breaks once, then (opened again) it runs on
    bool breaksWhenGone = true;  // its stream breaks when it is no longer listed; else it runs on
};

struct Row {
    const char* name;
    std::vector<CameraScript> cameras;
    std::vector<std::pair<LifeMs, const char*>> shown;  // whose picture at a time ("" none)
    const char* neverShown = "";
    LifeMs awayFrom = never, awayTo = never;  // the camera system itself gone
};

// Runs a row to its last time: ticks every quarter second, frames every 100 ms from the open
// camera while it sends. Whose picture was on the display at each 50 ms.
std::vector<std::string> run(const Row& row, CameraLife& life) {
    std::vector<std::string> display;
    std::string picture;
    int open = -1;
    bool brokeOnce[8] = {};
    const LifeMs end = row.shown.back().first;
    for (LifeMs t = 0; t <= end; t += 50) {
        auto listed = [&](const CameraScript& c) { return t >= c.listedFrom && !(t >= c.goneFrom && t < c.goneTo); };
        if (open >= 0 && !listed(row.cameras[open]) && row.cameras[open].breaksWhenGone) life.streamBroken();
        if (open >= 0 && t >= row.cameras[open].breaksAt && !brokeOnce[open]) {
            brokeOnce[open] = true;
            life.streamBroken();
        }
        const CameraScript* sending = open >= 0 ? &row.cameras[open] : nullptr;
        if (sending && t % 100 == 0 && (listed(*sending) || !sending->breaksWhenGone) &&
            !(t >= sending->silentFrom && t < sending->silentTo)) {
            life.frameHandedOver(t);
            picture = sending->id;
        }
        if (t % 250 == 0) {
            std::vector<std::string> ids;
            for (const CameraScript& c : row.cameras)
                if (listed(c)) ids.push_back(c.id);
            const bool away = t >= row.awayFrom && t < row.awayTo;
            life.tick(t, away ? nullptr : &ids, [&] { open = -1; }, [&](int index, bool allowGrey) {
                auto it = std::find_if(row.cameras.begin(), row.cameras.end(), [&](const CameraScript& c) { return c.id == ids[index]; });
                if (it->grey && !allowGrey) return CameraTried::greyOnly;
                if (it->startsNever) return CameraTried::passedOver;
                open = (int)(it - row.cameras.begin());
                return CameraTried::started;
            });
        }
        display.push_back(picture);
    }
    return display;
}

TEST(CameraLife, WhoseFramesAreShown) {
    const Row rows[] = {
        {"start-up: the first camera", {{"A"}, {"B"}}, {{200, "A"}, {5000, "A"}}, "B"},
        {"start-up: one that never starts is passed over", {{"A", 0, never, never, never, never, true}, {"B"}},
         {{200, "B"}}},
        {"start-up: one that starts and sends nothing gives way after two seconds",
         {{"A", 0, never, never, 0}, {"B"}}, {{1900, ""}, {2500, "B"}}},
        {"start-up: a slow first frame is waited for", {{"A", 0, never, never, 0, 1500}, {"B"}}, {{1400, ""}, {2000, "A"}},
         "B"},
        {"start-up: grey only when no colour camera works", {{"G", 0, never, never, never, never, false, true}, {"A"}},
         {{500, "A"}}, "G"},
        {"start-up: the grey camera where it is the only one", {{"G", 0, never, never, never, never, false, true}},
         {{500, "G"}}},
        {"listed but silent: the other one after the silence, a retry and the walk",
         {{"A", 0, never, never, 1000}, {"B"}}, {{2900, "A"}, {4900, "A"}, {5600, "B"}, {12000, "B"}}},
        {"the same camera back within two seconds, never the other", {{"A", 0, 1000, 2000}, {"B"}},
         {{1900, "A"}, {2600, "A"}, {8000, "A"}}, "B"},
        {"gone more than two seconds: the other, which stays when the first comes back", {{"A", 0, 1000, 4000}, {"B"}},
         {{2900, "A"}, {3600, "B"}, {9000, "B"}}},
        {"a second loss after a recovered one: its two seconds counted afresh",
         {{"A", 0, 1000, 1500}, {"B"}}, {{2000, "A"}, {8000, "A"}}, "B"},
        {"no longer listed though its stream runs on: lost all the same, the other after two seconds",
         {{"A", 0, 1000, never, never, never, false, false, never, false}, {"B"}}, {{900, "A"}, {3600, "B"}}},
        {"a broken stream: the same camera opened again", {{"A", 0, never, never, never, never, false, false, 1000}, {"B"}},
         {{1600, "A"}, {5000, "A"}}, "B"},
        {"silent for good with no other camera: tried again and again until it sends",
         {{"A", 0, never, never, 1000, 9000}}, {{8900, "A"}, {10000, "A"}}},
        {"the system gone for five seconds, back with both cameras: the same one", {{"A"}, {"B"}},
         {{900, "A"}, {6900, "A"}, {10000, "A"}}, "B", 1000, 6000},
        {"the system back, the camera's node a second after the others': the same one",
         {{"A", 0, 1000, 7000}, {"B"}}, {{6900, "A"}, {8000, "A"}}, "B", 1000, 6000},
        {"the system back without the camera: the other two seconds after the listing",
         {{"A", 0, 1000, never}, {"B"}}, {{7900, "A"}, {8600, "B"}}, "", 1000, 6000},
    };
    for (const Row& row : rows) {
        CameraLife life;
        const std::vector<std::string> display = run(row, life);
        for (const auto& [at, who] : row.shown)
            EXPECT_EQ(display[at / 50], who) << row.name << ", at " << at << " ms";
        const std::string avoided = row.neverShown;
        if (!avoided.empty()) {
            const auto seen = std::find(display.begin(), display.end(), avoided);
            EXPECT_EQ(seen, display.end()) << row.name << ": " << avoided << "'s picture at " << (seen - display.begin()) * 50
                                           << " ms";
        }
    }
}

TEST(CameraLife, StartUpGivesUpOnlyOnceEveryCameraHadItsTurn) {
    CameraLife life;
    const std::vector<std::string> ids = {"A", "B"};
    int tries = 0;
    for (LifeMs t = 0; t <= 6000 && !life.exhausted(); t += 250)
        life.tick(t, &ids, [] {}, [&](int, bool) {
            tries++;
            return CameraTried::started;  // and never a frame
        });
    EXPECT_TRUE(life.exhausted());
    EXPECT_EQ(tries, 2);
}

}  // namespace
