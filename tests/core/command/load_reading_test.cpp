// The two ways a load is read, straight from the text and through the value tree, give the same
// reply and leave the same data on every text: the failure tables of the reader and of dataset
// decoding in every place of a load command, truncations of valid commands at every length,
// repeated and unknown keys at every level, nesting at the limit, numbers in every form, and
// seeded random mutations. Plain valid commands are taken by the direct reader (so it is the one
// tested), and everything it declines still gets the tree's exact reply.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/command/dispatch.hpp"
#include "core/dataset/decode_text.hpp"
#include "core/json/writer.hpp"
#include "tests/core/support/case_table.hpp"
#include "tests/core/support/same_dataset.hpp"

namespace vorn {
namespace {

using testing_support::dataset_difference;
using testing_support::read_case_table;

// A dataset loaded before each command, which a failed load must leave in place.
const char* const kEarlier = R"({"cmd":"load","dataset":{"oi":[[3,1.0],[4,2.0]]}})";

// Runs `command` both ways on objects holding the earlier dataset; a failure names the text.
void expect_same_outcome(const std::string& command) {
    HandleState direct;
    HandleState tree;
    dispatch_command(direct, kEarlier);
    dispatch_command(tree, kEarlier);
    const std::string direct_reply = dispatch_command(direct, command, LoadReading::Direct);
    const std::string tree_reply = dispatch_command(tree, command, LoadReading::Tree);
    ASSERT_EQ(direct_reply, tree_reply) << "command: " << command;
    ASSERT_EQ(dataset_difference(direct.dataset, tree.dataset), "") << "command: " << command;
}

void expect_taken_directly(const std::string& command) {
    EXPECT_TRUE(decode_load_command_text(command).has_value()) << "declined: " << command;
    expect_same_outcome(command);
}

// Valid commands of every form: object and positional lists and records, white space, escapes,
// members in any order, unknown and unread members, asks before bids, numbers of every kind.
const std::vector<std::string> kValidCommands = {
    R"({"cmd":"load","dataset":{"candles":[{"ts":60000,"open":100.5,"high":101,"low":99.25,"close":100,"volume":12.5}],)"
    R"("trades":[{"ts":1000,"price":100.25,"qty":0.5,"side":"buy"},{"ts":500,"price":-0.0,"qty":3,"side":"sell"}],)"
    R"("book":[{"ts":0,"kind":"snapshot","bids":[[99.5,1.25],[99,2]],"asks":[[100.5,0.75]]},)"
    R"({"ts":700,"kind":"diff","asks":[[101,0],[102.5,-1]],"bids":[]}],"funding":[{"ts":0,"rate":0.0001}],)"
    R"("oi":[{"ts":0,"oi":5000.5}],"liquidations":[{"ts":900,"price":100,"qty":0.25,"side":"long"}]}})",
    "{ \"dataset\" : [ [ [60000, 100.5, 101, 99.25, 100, 12.5] ] ,\n [[1000,100.25,0.5,\"b\\u0075y\"], "
    "[-5, 1E2, 2.5e-3, \"sell\"]],\r\n\t[[0,\"snapshot\",[[99.5 ,1.25], [ 99,2 ]],[[100.5, 0.75]]],[7,\"diff\",[],[]]], "
    "[[0,1e-4]], [[0,5000]], [[900,100,0.25,\"short\"]] ] ,\"c\\u006Dd\":\"lo\\u0061d\" } ",
    R"({"spec":{"x":[1,{"y":null}]},"ts":5,"cmd":"load","dataset":{"meta":{"a":[true,false,null]},"trades":)"
    R"([{"note":"\"q\\","ts":1,"price":1,"qty":1,"side":"buy","extra":[[[]]]}],"book":[{"bids":[[1,2]],)"
    R"("asks":[[3,4]],"kind":"diff","ts":2,"seq":123456789012345678901234567890}],"Trades":null},"other":"x"})",
    R"({"cmd":"load","dataset":{"trades":[[9223372036854775807,0.1234567890123456789,12345678901234567890123,"buy"],)"
    R"([-9223372036854775808,1.7976931348623157e308,5e-324,"sell"],[0,0,-0,"buy"]],"book":[[1,"diff",)"
    R"([[123456789012345678.9,0.30000000000000004]],[[1e22,1e23]]]]}})",
    R"({"cmd":"load","dataset":[]})",
    R"({"cmd":"load","dataset":{}})",
};

TEST(LoadReading, ValidCommandsAreTakenDirectlyWithTheSameData) {
    for (const std::string& command : kValidCommands) expect_taken_directly(command);
}

// Cut at every length; also with a closing brace put after the cut, so the direct reader, which
// declines texts that do not end in a brace or white space, reads each of them to its end.
TEST(LoadReading, TruncatedAtEveryLength) {
    for (const std::string& command : kValidCommands) {
        for (std::size_t length = 0; length < command.size(); ++length) {
            expect_same_outcome(command.substr(0, length));
            expect_same_outcome(command.substr(0, length) + "}");
            expect_same_outcome(command.substr(0, length) + "]}}");
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// `text` placed where a value of each level of a load command is due: the command itself, the
// dataset, a list, a record, a field, a side, an unknown member of each level.
std::vector<std::string> placements(const std::string& text) {
    return {
        text,
        R"({"cmd":"load","dataset":)" + text + "}",
        R"({"dataset":)" + text + R"(,"cmd":"load"})",
        R"({"cmd":"load","dataset":{"trades":)" + text + "}}",
        R"({"cmd":"load","dataset":[[],)" + text + "]}",
        R"({"cmd":"load","dataset":{"trades":[)" + text + "]}}",
        R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":)" + text + R"(,"qty":1,"side":"buy"}]}})",
        R"({"cmd":"load","dataset":{"trades":[[1,1,1,)" + text + "]]}}",
        R"({"cmd":"load","dataset":{"book":[[1,"diff",)" + text + ",[]]]}}",
        R"({"cmd":"load","dataset":{"book":[[1,"diff",[[1,)" + text + "]],[]]]}}",
        R"({"cmd":"load","x":)" + text + R"(,"dataset":{}})",
        R"({"cmd":"load","dataset":{"x":)" + text + "}}",
        R"({"cmd":"load","dataset":{"oi":[{"ts":1,"oi":2,"x":)" + text + "}]}}",
        R"({"cmd":)" + text + R"(,"dataset":{}})",
    };
}

TEST(LoadReading, EveryReaderFailureInEveryPlace) {
    for (const std::vector<std::string>& row : read_case_table("json_reader_failures.tsv", 3)) {
        for (const std::string& command : placements(row[1])) {
            expect_same_outcome(command);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(LoadReading, EveryDecodingFailure) {
    for (const std::vector<std::string>& row : read_case_table("dataset_decode_failures.tsv", 3)) {
        const std::string command = R"({"cmd":"load","dataset":)" + row[1] + "}";
        // The table's message is the reply whichever way the command is read.
        HandleState state;
        std::string expected = R"({"ok":false,"error":)";
        json::write_string(expected, "parse: " + row[2]);
        expected += '}';
        EXPECT_EQ(dispatch_command(state, command), expected) << command;
        for (const std::string& placed : placements(row[1])) expect_same_outcome(placed);
    }
}

TEST(LoadReading, NumbersOfEveryForm) {
    const char* const numbers[] = {
        "0", "-0", "7", "-7", "1.5", "-1.5", "0.5", "00", "01", "-01", "1.", "-", "-.5", ".5", "1e5", "1E5", "1e+5",
        "1e-5", "1.5e3", "1e", "1e+", "2.", "0.0000000000000000001", "0.000000000000000001", "1234567890123456789",
        "12345678901234567890", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
        "-9223372036854775809", "18446744073709551615", "18446744073709551616", "1.7976931348623157e308", "1e309",
        "-1e309", "4.9e-324", "1e-400", "123456789.123456789", "123456789.1234567891", "9007199254740993",
        "0.30000000000000004", "100.25x", "1.2.3", "1-2", "+1", "NaN", "Infinity", "0x10", "1,",
    };
    for (const char* number : numbers) {
        const std::string n(number);
        for (const std::string& command : placements(n)) expect_same_outcome(command);
        expect_same_outcome(R"({"cmd":"load","dataset":{"trades":[[)" + n + R"(,1,1,"buy"]]}})");
        expect_same_outcome(R"({"cmd":"load","dataset":{"book":[[1,"diff",[[)" + n + "," + n + "]],[]]]}})");
        expect_same_outcome(R"({"cmd":"load","dataset":{"book":[[1,"diff",[[ )" + n + " , " + n + " ]],[]]]}})");
    }
}

TEST(LoadReading, RepeatedKeysAtEveryLevel) {
    const char* const commands[] = {
        R"({"cmd":"load","cmd":"load","dataset":{}})",
        R"({"cmd":"frame","cmd":"load","dataset":{}})",
        R"({"cmd":"load","cmd":"frame","dataset":{}})",
        R"({"cmd":"load","dataset":{"oi":[[1,1]]},"dataset":{"oi":[[2,2],[3,3]]}})",
        R"({"cmd":"load","dataset":{"oi":[[1,1]]},"dataset":7})",
        R"({"cmd":"load","dataset":{"oi":[[1,1]],"oi":[[2,2],[3,3]]}})",
        R"({"cmd":"load","dataset":{"oi":[[1,1]],"oi":null}})",
        R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy","ts":2}]}})",
        R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":"buy","side":"x"}]}})",
        R"({"cmd":"load","dataset":{"book":[{"ts":1,"kind":"diff","bids":[[1,1]],"asks":[],"bids":[[2,2],[3,3]]}]}})",
        R"({"cmd":"load","dataset":{"book":[{"ts":1,"kind":"diff","asks":[[1,1]],"bids":[[4,4]],"asks":[]}]}})",
        R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":{"buy":null}}]}})",
        R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":{"buy":null,"buy":null}}]}})",
        R"({"cmd":"load","x":1,"x":2,"dataset":{"y":1,"y":2,"oi":[{"ts":1,"oi":1,"z":1,"z":[]}]}})",
        R"({"cmd":"load","dataset":{"oi":[]},"spec":1,"spec":2,"ts":1,"ts":"x"})",
    };
    for (const char* command : commands) expect_same_outcome(command);
}

// Nested arrays `depth` deep as an unknown member at each level of a load command: the limit of
// open arrays and objects counts those around the member.
TEST(LoadReading, NestingAtTheLimit) {
    for (int depth = 120; depth <= 130; ++depth) {
        const std::string nested = std::string(static_cast<std::size_t>(depth), '[') +
                                   std::string(static_cast<std::size_t>(depth), ']');
        for (const std::string& command : placements(nested)) expect_same_outcome(command);
    }
}

// Seeded mutations of the valid commands: a byte replaced, inserted or deleted, or a piece doubled.
TEST(LoadReading, RandomMutations) {
    const std::string alphabet = "{}[]\",:0123456789.-+eE \n\\abdlnstuy";
    std::mt19937_64 random(20261209);
    int taken = 0;
    for (const std::string& valid : kValidCommands) {
        for (int round = 0; round < 3000; ++round) {
            std::string command = valid;
            const int edits = 1 + static_cast<int>(random() % 3);
            for (int e = 0; e < edits && !command.empty(); ++e) {
                const std::size_t at = random() % command.size();
                const char byte = alphabet[random() % alphabet.size()];
                switch (random() % 4) {
                    case 0: command[at] = byte; break;
                    case 1: command.insert(command.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
                    case 2: command.erase(at, 1); break;
                    default: command.insert(at, command.substr(at, 1 + random() % 12)); break;
                }
            }
            if (decode_load_command_text(command)) ++taken;
            expect_same_outcome(command);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    // Some mutations keep the command plainly valid, so both outcomes are exercised.
    EXPECT_GT(taken, 100);
}

}  // namespace
}  // namespace vorn
