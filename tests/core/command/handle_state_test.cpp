// The handle state table: every command in each of the four states (spec absent or present, data
// none or some), its reply, and what the state holds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/command/dispatch.hpp"

namespace vorn {
namespace {

const char* const kSpecA =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"A","panels":[{"kind":"liquidation_map"}]}})";
const char* const kSpecB =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"B","panels":[{"kind":"liquidation_map","price_bin":5.0}]}})";
// Two liquidations, ts 10 to 20, given out of order.
const char* const kLoadA =
    R"({"cmd":"load","dataset":{"liquidations":[[20,100.0,1.0,"long"],[10,101.0,2.0,"short"]]}})";
// Three candles, ts 5 to 25.
const char* const kLoadB =
    R"({"cmd":"load","dataset":{"candles":[[15,1,2,0.5,1.5,10],[5,1,2,0.5,1.5,10],[25,1,2,0.5,1.5,10]]}})";

enum class State { Empty, DataOnly, SpecOnly, Both };

HandleState make_state(State s) {
    HandleState state;
    if (s == State::SpecOnly || s == State::Both) {
        EXPECT_EQ(dispatch_command(state, kSpecA), R"({"ok":true})");
    }
    if (s == State::DataOnly || s == State::Both) {
        EXPECT_EQ(dispatch_command(state, kLoadA), R"({"ok":true,"loaded":2})");
    }
    return state;
}

// What a state holds, in the few facts the table tells apart.
struct Holding {
    std::string spec;  // the spec's symbol, "" when absent
    std::vector<std::int64_t> ts;  // every record's ts, candles then liquidations
};

Holding holding(const HandleState& state) {
    Holding h{state.spec ? state.spec->symbol : "", {}};
    for (const Candle& c : state.dataset.candles) h.ts.push_back(c.ts);
    for (const LiquidationEvent& l : state.dataset.liquidations) h.ts.push_back(l.ts);
    EXPECT_TRUE(state.dataset.trades.empty() && state.dataset.book.empty() && state.dataset.funding.empty() &&
                state.dataset.oi.empty());
    return h;
}

const std::vector<std::int64_t> kDataA = {10, 20};
const std::vector<std::int64_t> kDataB = {5, 15, 25};

enum class SpecAfter { Kept, B };
enum class DataAfter { Kept, None, B };

struct Row {
    const char* name;
    std::string command;
    // Reply per state, in the order Empty, DataOnly, SpecOnly, Both. A trailing '*' asks for a prefix.
    std::vector<std::string> replies;
    SpecAfter spec_after;
    DataAfter data_after;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const std::string kNoData = R"({"ok":false,"error":"data: no dataset"})";
const std::string kNoSpec = R"({"ok":false,"error":"bad spec: no spec set"})";
const std::string kOk = R"({"ok":true})";

std::vector<Row> rows() {
    auto same = [](const std::string& s) { return std::vector<std::string>{s, s, s, s}; };
    return {
        {"set_spec", kSpecB, same(kOk), SpecAfter::B, DataAfter::Kept},
        {"load_records", kLoadB, same(R"({"ok":true,"loaded":3})"), SpecAfter::Kept, DataAfter::B},
        {"load_empty_object", R"({"cmd":"load","dataset":{}})", same(R"({"ok":true,"loaded":0})"), SpecAfter::Kept,
         DataAfter::None},
        {"load_empty_lists", R"({"cmd":"load","dataset":[[],[],[],[],[],[]]})", same(R"({"ok":true,"loaded":0})"),
         SpecAfter::Kept, DataAfter::None},
        {"reset", R"({"cmd":"reset"})", same(kOk), SpecAfter::Kept, DataAfter::None},
        {"bounds", R"({"cmd":"bounds"})",
         {kNoData, R"({"from_ts":10,"to_ts":20,"count":2})", kNoData, R"({"from_ts":10,"to_ts":20,"count":2})"},
         SpecAfter::Kept, DataAfter::Kept},
        {"frame", R"({"cmd":"frame"})", {kNoSpec, kNoSpec, kNoData, R"({"symbol":"A","cursor_ts":20,"panels":[*)"},
         SpecAfter::Kept, DataAfter::Kept},
        {"frame_ignores_ts", R"({"cmd":"frame","ts":5})",
         {kNoSpec, kNoSpec, kNoData, R"({"symbol":"A","cursor_ts":20,"panels":[*)"}, SpecAfter::Kept, DataAfter::Kept},
        {"frame_at", R"({"cmd":"frame_at","ts":15})",
         {kNoSpec, kNoSpec, kNoData, R"({"symbol":"A","cursor_ts":15,"panels":[*)"}, SpecAfter::Kept, DataAfter::Kept},
        {"frame_at_without_ts", R"({"cmd":"frame_at"})",
         same(R"({"ok":false,"error":"bad spec: frame_at requires integer 'ts'"})"), SpecAfter::Kept, DataAfter::Kept},
        {"version", R"({"cmd":"version"})", same(R"({"version":"0.1.2"})"), SpecAfter::Kept, DataAfter::Kept},
        {"load_without_dataset", R"({"cmd":"load"})", same(R"({"ok":false,"error":"bad spec: load requires 'dataset'"})"),
         SpecAfter::Kept, DataAfter::Kept},
        // The fault sits after whole lists and records that decoded fine.
        {"load_bad_dataset",
         R"({"cmd":"load","dataset":{"candles":[[1,1,1,1,1,1]],"trades":[[1,1.0,1.0,"buy"],[2,1.0,1.0,"BUY"]]}})",
         same(R"({"ok":false,"error":"parse: unknown variant `BUY`, expected `buy` or `sell`"})"), SpecAfter::Kept,
         DataAfter::Kept},
        {"load_null_dataset", R"({"cmd":"load","dataset":null})",
         same(R"({"ok":false,"error":"parse: invalid type: null, expected struct Dataset"})"), SpecAfter::Kept,
         DataAfter::Kept},
        {"set_spec_unreadable", R"({"cmd":"set_spec","spec":{}})",
         same(R"({"ok":false,"error":"parse: missing field `dataset_ref`"})"), SpecAfter::Kept, DataAfter::Kept},
        {"set_spec_invalid",
         R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"","panels":[{"kind":"liquidation_map"}]}})",
         same(R"({"ok":false,"error":"bad spec: symbol must not be empty"})"), SpecAfter::Kept, DataAfter::Kept},
        {"unknown_cmd", R"({"cmd":"Reset"})", same(R"({"ok":false,"error":"bad spec: unknown cmd: Reset"})"),
         SpecAfter::Kept, DataAfter::Kept},
        {"trailing_characters", R"({"cmd":"reset"}x)",
         same(R"({"ok":false,"error":"parse: trailing characters at line 1 column 16"})"), SpecAfter::Kept,
         DataAfter::Kept},
    };
}

class HandleStateTable : public ::testing::TestWithParam<Row> {};

TEST_P(HandleStateTable, ReplyAndStateAfterInEveryState) {
    const Row& row = GetParam();
    const State states[] = {State::Empty, State::DataOnly, State::SpecOnly, State::Both};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        HandleState state = make_state(states[i]);
        Holding before = holding(state);
        std::string reply = dispatch_command(state, row.command);
        const std::string& expected = row.replies[i];
        if (!expected.empty() && expected.back() == '*') {
            EXPECT_EQ(reply.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1)) << reply;
        } else {
            EXPECT_EQ(reply, expected);
        }
        Holding after = holding(state);
        EXPECT_EQ(after.spec, row.spec_after == SpecAfter::B ? "B" : before.spec);
        switch (row.data_after) {
            case DataAfter::Kept: EXPECT_EQ(after.ts, before.ts); break;
            case DataAfter::None: EXPECT_TRUE(after.ts.empty()); break;
            case DataAfter::B: EXPECT_EQ(after.ts, kDataB); break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, HandleStateTable, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HandleState, LoadedDataIsPrepared) {
    HandleState state = make_state(State::Both);
    EXPECT_EQ(holding(state).ts, kDataA);
    EXPECT_EQ(state.dataset.liquidations[0].side, LiquidationSide::Short);
}

// The second load replaces the first whole: its count and bounds are its own.
TEST(HandleState, SecondLoadReplacesTheFirst) {
    HandleState state = make_state(State::DataOnly);
    EXPECT_EQ(dispatch_command(state, kLoadB), R"({"ok":true,"loaded":3})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":5,"to_ts":25,"count":3})");
    EXPECT_TRUE(state.dataset.liquidations.empty());
}

TEST(HandleState, ResetKeepsTheSpecForTheNextLoad) {
    HandleState state = make_state(State::Both);
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"reset"})"), kOk);
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"), kNoData);
    EXPECT_EQ(dispatch_command(state, kLoadB), R"({"ok":true,"loaded":3})");
    std::string frame = dispatch_command(state, R"({"cmd":"frame"})");
    EXPECT_EQ(frame.rfind(R"({"symbol":"A","cursor_ts":25,)", 0), 0u) << frame;
}

// Whatever the data, a set "to_ts" is the cursor of "frame"; without one the last ts is.
TEST(HandleState, FrameCursorComesFromToTsOrTheData) {
    struct Case {
        const char* to_ts;
        const char* cursor;
    };
    const Case cases[] = {{"null", "25"}, {"3", "3"}, {"100", "100"}, {"-7", "-7"}, {"15", "15"}};
    for (const Case& c : cases) {
        HandleState state;
        std::string spec = std::string(R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"S","to_ts":)") + c.to_ts +
                           R"(,"panels":[{"kind":"liquidation_map"}]}})";
        ASSERT_EQ(dispatch_command(state, spec), kOk);
        ASSERT_EQ(dispatch_command(state, kLoadB), R"({"ok":true,"loaded":3})");
        std::string frame = dispatch_command(state, R"({"cmd":"frame"})");
        EXPECT_EQ(frame.rfind(std::string(R"({"symbol":"S","cursor_ts":)") + c.cursor + ",", 0), 0u) << frame;
    }
    HandleState state = make_state(State::Both);
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"frame"})"), dispatch_command(state, R"({"cmd":"frame_at","ts":20})"));
}

// The spec's window does not narrow the bounds.
TEST(HandleState, BoundsIgnoreTheSpecWindow) {
    HandleState state;
    ASSERT_EQ(dispatch_command(state, R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"S","from_ts":12,"to_ts":13,"panels":[{"kind":"liquidation_map"}]}})"),
              kOk);
    ASSERT_EQ(dispatch_command(state, kLoadB), R"({"ok":true,"loaded":3})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":5,"to_ts":25,"count":3})");
}

TEST(HandleState, FrameAtTakesOnlySignedIntegers) {
    const std::string refused = R"({"ok":false,"error":"bad spec: frame_at requires integer 'ts'"})";
    for (const char* ts : {"1.0", "-0", "\"5\"", "9223372036854775808", "null", "true", "[1]", "{}", "1e3"}) {
        HandleState state = make_state(State::Both);
        EXPECT_EQ(dispatch_command(state, std::string(R"({"cmd":"frame_at","ts":)") + ts + "}"), refused) << ts;
    }
    for (const char* ts : {"-9223372036854775808", "9223372036854775807", "0", "-1"}) {
        HandleState state = make_state(State::Both);
        std::string frame = dispatch_command(state, std::string(R"({"cmd":"frame_at","ts":)") + ts + "}");
        EXPECT_EQ(frame.rfind(std::string(R"({"symbol":"A","cursor_ts":)") + ts + ",", 0), 0u) << frame;
    }
}

// Every list counts, each on its own, towards the record count and the bounds.
TEST(HandleState, EveryListCountsAsData) {
    const char* datasets[] = {
        R"({"candles":[[7,1,1,1,1,1]]})",     R"({"trades":[[7,1,1,"sell"]]})",
        R"({"book":[[7,"diff",[],[]]]})",     R"({"funding":[[7,0.1]]})",
        R"({"oi":[[7,1]]})",                  R"({"liquidations":[[7,1,1,"long"]]})",
    };
    for (const char* d : datasets) {
        HandleState state;
        EXPECT_EQ(dispatch_command(state, std::string(R"({"cmd":"load","dataset":)") + d + "}"), R"({"ok":true,"loaded":1})") << d;
        EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":7,"to_ts":7,"count":1})") << d;
    }
    HandleState state;
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"load","dataset":[[[1,1,1,1,1,1]],[[-2,1,1,"buy"]],[[3,"snapshot",[[1,2]],[]]],[[4,0.1]],[[5,1]],[[6,1,1,"short"],[0,1,1,"long"]]]})"),
              R"({"ok":true,"loaded":7})");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":-2,"to_ts":6,"count":7})");
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// An append moves the bounds at once and counts as a change of the dataset; a refused one neither.
TEST(HandleState, AppendMovesTheBoundsAndCountsAsAChange) {
    HandleState state;
    ASSERT_EQ(dispatch_command(state, kLoadB), R"({"ok":true,"loaded":3})");
    const std::uint64_t loaded_version = state.generation;
    Dataset added;
    added.candles.push_back(Candle{30, 1, 2, 0.5, 1.5, 10});
    Result<std::uint64_t> appended = state.append(added);
    ASSERT_TRUE(appended.ok());
    EXPECT_EQ(*appended, 1u);
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":5,"to_ts":30,"count":4})");
    EXPECT_EQ(state.generation, loaded_version + 1);
    Dataset late;
    late.candles.push_back(Candle{29, 1, 2, 0.5, 1.5, 10});
    Result<std::uint64_t> refused = state.append(late);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "candles.ts row 0: 29 is before the list's last ts 30");
    EXPECT_EQ(dispatch_command(state, R"({"cmd":"bounds"})"), R"({"from_ts":5,"to_ts":30,"count":4})");
    EXPECT_EQ(state.generation, loaded_version + 1);
}

}  // namespace
}  // namespace vorn
