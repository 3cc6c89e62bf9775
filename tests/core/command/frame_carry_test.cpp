// Work carried between frames, checked against fresh objects: random sequences of frames at
// moving cursors (forwards mostly, sometimes back or repeated), spec changes, loads and resets on
// one long-lived object. After each step, every frame it answers must equal, byte for byte, the
// frame of a new object given only the current spec and dataset: the JSON reply, and with detail
// every list of every panel, bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/command/dispatch.hpp"

namespace vorn {
namespace {

// Appends the text of each piece (numbers in decimal), without chaining temporary strings.
template <class... Pieces>
void add(std::string& out, const Pieces&... pieces) {
    auto one = [&out](const auto& piece) {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(piece)>>) {
            out += std::to_string(piece);
        } else {
            out += piece;
        }
    };
    (one(pieces), ...);
}

// A market whose mid walks far enough to move a heatmap's grid now and then: candles, trades,
// a book of diffs with a snapshot now and then, funding, OI and liquidations.
std::string market(std::mt19937_64& rng, int seconds) {
    std::uniform_int_distribution<int> coin(0, 99);
    std::string book, trades;
    double mid = 100.0;
    for (int t = 0; t < seconds * 1000; t += 50 + coin(rng) * 7) {
        mid += (coin(rng) - 49.5) * 0.02;
        if (coin(rng) < 35) {
            add(trades, trades.empty() ? "[" : ",[", t, ",", mid + (coin(rng) - 50) * 0.01, ",",
                0.1 + coin(rng) * 0.013, coin(rng) < 50 ? ",\"buy\"]" : ",\"sell\"]");
        }
        const bool snapshot = coin(rng) < 3;
        std::string bids, asks;
        const int levels = snapshot ? 30 : 1 + coin(rng) % 4;
        for (int i = 0; i < levels; ++i) {
            const int step = snapshot ? i : coin(rng) % 12;
            const double qty = coin(rng) < 25 && !snapshot ? 0.0 : 0.5 + coin(rng) * 0.1;
            add(bids, i ? ",[" : "[", mid - 0.05 - step * 0.1, ",", qty, "]");
            add(asks, i ? ",[" : "[", mid + 0.05 + step * 0.1, ",", qty, "]");
        }
        add(book, book.empty() ? "[" : ",[", t, snapshot ? ",\"snapshot\",[" : ",\"diff\",[", bids, "],[", asks, "]]");
    }
    std::string d = R"({"cmd":"load","dataset":{"candles":[)";
    for (int m = 0; m * 60000 < seconds * 1000; ++m) add(d, m ? ",[" : "[", m * 60000, ",100,101,99,100.5,12.5]");
    add(d, R"(],"trades":[)", trades, R"(],"book":[)", book);
    d += R"(],"funding":[[0,0.0001],[30000,0.0002],[95000,-0.0001]],"oi":[[0,5000],[45000,5100.5],[70000,5050]],)";
    d += R"("liquidations":[[7000,100,0.5,"long"],[33000,99.5,1.5,"short"],[81000,100.2,0.25,"long"]]}})";
    return d;
}

// Specs that differ in window bounds and grids, so a change of spec changes every panel.
std::string spec(int which) {
    const char* const bounds[] = {R"("from_ts":null,"to_ts":null)", R"("from_ts":12000,"to_ts":null)",
                                  R"("from_ts":null,"to_ts":70000)", R"("from_ts":5000,"to_ts":90000)"};
    const char* const grids[] = {
        R"({"kind":"book_heatmap","price_bin":0.1,"bucket_ms":1000,"depth_levels":12})",
        R"({"kind":"book_heatmap","price_bin":0.25,"bucket_ms":700,"depth_levels":5})",
        R"({"kind":"book_heatmap","price_bin":0.05,"bucket_ms":3000,"depth_levels":40})",
    };
    std::string s = R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"X",)";
    s += bounds[which % 4];
    s += R"(,"panels":[{"kind":"footprint","price_bin":0.1,"bucket_ms":60000},)";
    s += grids[which % 3];
    s += R"(,{"kind":"liquidation_map","price_bin":0.5},{"kind":"funding_oi_divergence","bucket_ms":10000},)";
    s += grids[(which + 1) % 3];
    s += "]}}";
    return s;
}

// Every list of every panel of a frame as bytes, so equal frames are equal bit for bit.
template <class List>
void bytes_of(std::string& out, const List& list) {
    add(out, list.size(), ":");
    out.append(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(list[0]));
}
std::string frame_bits(const Result<Frame>& frame) {
    if (!frame) return "error " + frame.error().display();
    std::string out;
    add(out, frame->symbol, frame->cursor_ts);
    for (const PanelData& panel : frame->panels) {
        std::visit(
            [&out](const auto& p) {
                using P = std::decay_t<decltype(p)>;
                if constexpr (std::is_same_v<P, PanelData::Footprint>) {
                    bytes_of(out, p.price_bins), bytes_of(out, p.buy_vol), bytes_of(out, p.sell_vol);
                } else if constexpr (std::is_same_v<P, PanelData::BookHeatmap>) {
                    bytes_of(out, p.time), bytes_of(out, p.price), bytes_of(out, p.intensity);
                    bytes_of(out, p.bid_intensity), bytes_of(out, p.ask_intensity);
                    bytes_of(out, p.last_price), bytes_of(out, p.mid);
                } else if constexpr (std::is_same_v<P, PanelData::LiquidationMap>) {
                    add(out, p.events.size());
                    for (const LiquidationMapEvent& e : p.events) {
                        add(out, e.ts, " ", e.price_bin, " ", e.qty, " ");
                    }
                } else {
                    bytes_of(out, p.time), bytes_of(out, p.funding), bytes_of(out, p.oi), bytes_of(out, p.price);
                }
            },
            panel.value);
    }
    return out;
}

class CarriedFrames : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(CarriedFrames, EqualFramesOfFreshObjects) {
    std::mt19937_64 rng(GetParam());
    std::uniform_int_distribution<int> coin(0, 99);
    const int seconds = 100;
    const std::string loads[] = {market(rng, seconds), market(rng, seconds)};
    HandleState playing;
    std::string current_spec = spec(0);
    const std::string* current_load = &loads[0];
    ASSERT_EQ(dispatch_command(playing, current_spec), R"({"ok":true})");
    ASSERT_NE(dispatch_command(playing, *current_load).find(R"("ok":true)"), std::string::npos);

    // Frames a caller still holds (as arrays hold theirs), with their bits when they were made:
    // later frames share their rows but must never change them.
    struct Held {
        Result<Frame> frame;
        std::string bits;
    };
    std::vector<Held> held;

    std::int64_t cursor = 0;
    int compared = 0, continued = 0;
    for (int step = 0; step < 260; ++step) {
        const int roll = coin(rng);
        if (roll < 3) {
            current_spec = spec(coin(rng));
            ASSERT_EQ(dispatch_command(playing, current_spec), R"({"ok":true})");
            cursor = coin(rng) * 300;
        } else if (roll < 5) {
            current_load = &loads[coin(rng) % 2];
            if (coin(rng) < 30) dispatch_command(playing, R"({"cmd":"reset"})");
            dispatch_command(playing, *current_load);
            cursor = coin(rng) * 300;
        } else if (roll < 10) {
            cursor -= coin(rng) * 40;  // back
        } else if (roll < 13) {
            // the same cursor again
        } else {
            cursor += 1 + (coin(rng) < 80 ? coin(rng) * 12 : coin(rng) * 300);
        }
        const bool detail = coin(rng) < 40;
        const bool json = coin(rng) < 50;
        const bool at_end = coin(rng) < 5;

        HandleState fresh;
        dispatch_command(fresh, current_spec);
        dispatch_command(fresh, *current_load);
        std::string command = R"({"cmd":"frame"})";
        if (!at_end) {
            command = R"({"cmd":"frame_at","ts":)";
            add(command, cursor, "}");
        }
        if (json) {
            ASSERT_EQ(dispatch_command(playing, command), dispatch_command(fresh, command)) << "step " << step;
        } else {
            PanelOptions options{detail};
            Result<Frame> got = at_end ? playing.frame(options) : playing.frame_at(cursor, options);
            const Result<Frame> want = at_end ? fresh.frame(options) : fresh.frame_at(cursor, options);
            std::string bits = frame_bits(got);
            ASSERT_EQ(bits, frame_bits(want)) << "step " << step;
            if (coin(rng) < 60) held.push_back(Held{std::move(got), std::move(bits)});
            if (held.size() > 3 || (!held.empty() && coin(rng) < 20)) held.erase(held.begin() + coin(rng) % held.size());
        }
        for (const Held& h : held) ASSERT_EQ(frame_bits(h.frame), h.bits) << "a held frame changed at step " << step;
        ++compared;
        continued += playing.carry.panels.empty() ? 0 : 1;
    }
    EXPECT_EQ(compared, 260);
    // Most frames follow the one before: the carried path is what was compared.
    EXPECT_GT(continued, 100);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CarriedFrames, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

}  // namespace
}  // namespace vorn
