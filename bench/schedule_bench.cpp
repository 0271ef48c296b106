// The schedule's cost where many minutes meet: the driver's catch-up of a
// week of skipped minutes and `callctl schedule` over a year, on the largest
// schedule the settings hold (30 working-day entries that skip holidays, a
// holiday list of 3,969 characters), each beside its floor, the read of the
// settings file into a dictionary.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <string>

#include "device.h"
#include "fixture.h"
#include "plan.h"
#include "schedule.h"
#include "settings.h"

namespace {

std::string holiday_list() {
    std::string list = "{\"holidays\": [";
    char range[64];
    for (int i = 0;; i++) {
        snprintf(range, sizeof range, "%s\"%d-%d-%d:%d-%d-%d\"", i ? ", " : "", 2031 + i / 100, 1 + i % 12,
                 1 + i % 28, 2031 + i / 100, 1 + i % 12, 2 + i % 28);
        if (list.size() + strlen(range) + 2 > 3969) break;
        list += range;
    }
    return list + "]}";
}

std::string schedule_conf() {
    std::string conf = "[driver]\nenable = yes\ncatch_up = 10080\n[holidays]\ndata = " + holiday_list() + "\n";
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        conf += "[schedule_" + std::to_string(n) + "]\nenable = yes\nenholiday = yes\nweeks = 12345\n"
                "s_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2033\ne_month = 12\ne_day = 31\n"
                "s_hour = 7\ns_min = " + std::to_string(n) + "\ne_hour = 18\ne_min = 0\ninterval = 60\n"
                "audio_file = chime.mp3\nplay_times = 1\n";
    }
    return conf;
}

struct tm monday_noon() {
    struct tm tm{};
    tm.tm_year = 131;
    tm.tm_mon = 5;
    tm.tm_mday = 16;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    localtime_r(&t, &tm);
    return tm;
}

// What the driver does at a minute `minutes` after the last one it evaluated:
// one read of the file, its rules, the walk of the skipped minutes.
void catch_up(benchmark::State& state) {
    const struct tm now = monday_noon();
    const bool running[SCHEDULE_ENTRIES + 1] = {};
    for (auto _ : state) {
        dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
        const ScheduleRules rules(d);
        DriverState st;
        st.have_last = true;
        st.last = local_minute(now) - state.range(0);
        DriverStep step;
        driver_step(&st, now, driver_settings(d), &rules, running, &step);
        benchmark::DoNotOptimize(step);
        settings_free(d);
    }
}
BENCHMARK(catch_up)->Name("BM_CatchUp")->Arg(180)->Arg(1440)->Arg(10080)->Unit(benchmark::kMillisecond);

// The floor: reading the same file into a dictionary.
void BM_SettingsRead(benchmark::State& state) {
    for (auto _ : state) {
        dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
        benchmark::DoNotOptimize(d);
        settings_free(d);
    }
}
BENCHMARK(BM_SettingsRead)->Unit(benchmark::kMillisecond);

// `callctl schedule --days N` without its printing.
void BM_Preview(benchmark::State& state) {
    struct tm from = monday_noon();
    const time_t t = mktime(&from);
    for (auto _ : state) {
        dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
        std::vector<callctl::NeverRow> never;
        auto rows = callctl::plan_schedule(d, t, static_cast<int>(state.range(0)), &never);
        benchmark::DoNotOptimize(rows.data());
        settings_free(d);
    }
}
BENCHMARK(BM_Preview)->Arg(7)->Arg(366)->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    testsupport::DeviceRoot root;
    root.write(dev::SCHEDULE_CONF, schedule_conf());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
