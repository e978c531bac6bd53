// Command-line splitting against a plain model of the quoting rules: the
// token, its length + 1 and the characters consumed must agree at every
// capacity, nothing may be written past the destination, and the argument
// buffers filled by split_command_line must match what take_arguments makes
// of the same tokens handed over as argv. parse_sea_level against a model too.
#include <string>

#include "command_line.h"
#include "fuzz_check.h"
#include "commands.h"
#include "png_heightmap.h"

namespace {

struct ModelToken {
    std::string text;  // the whole token, however long
    size_t consumed;
};

// Skip blanks; outside quotes a blank ends the token and a quote opens;
// inside, "" is one quote and a lone quote closes.
ModelToken model_token(const char* s) {
    ModelToken t{{}, 0};
    size_t i = 0;
    while (s[i] == ' ' || s[i] == '\t') ++i;
    bool quoted = false;
    for (;;) {
        char c = s[i];
        if (c == 0) break;
        if (!quoted && (c == ' ' || c == '\t')) break;
        if (c == '"') {
            if (quoted && s[i + 1] == '"') {
                t.text += '"';
                i += 2;
            } else {
                quoted = !quoted;
                ++i;
            }
            continue;
        }
        t.text += c;
        ++i;
    }
    t.consumed = i;
    return t;
}

// UTF-16 units of UTF-8 text by the table of well-formed byte sequences
// (with the 3-byte forms of lone surrogates, ED A0..BF, allowed): two for a
// 4-byte sequence, one for any other and for each byte outside a sequence.
size_t model_units(const std::string& s) {
    auto in = [&](size_t i, int lo, int hi) {
        return i < s.size() && static_cast<uint8_t>(s[i]) >= lo && static_cast<uint8_t>(s[i]) <= hi;
    };
    size_t units = 0;
    for (size_t i = 0; i < s.size();) {
        size_t length = 1;
        if (in(i, 0xC2, 0xDF) && in(i + 1, 0x80, 0xBF)) {
            length = 2;
        } else if (((in(i, 0xE0, 0xE0) && in(i + 1, 0xA0, 0xBF)) || (in(i, 0xE1, 0xEF) && in(i + 1, 0x80, 0xBF))) &&
                   in(i + 2, 0x80, 0xBF)) {
            length = 3;
        } else if (((in(i, 0xF0, 0xF0) && in(i + 1, 0x90, 0xBF)) || (in(i, 0xF1, 0xF3) && in(i + 1, 0x80, 0xBF)) ||
                    (in(i, 0xF4, 0xF4) && in(i + 1, 0x80, 0x8F))) &&
                   in(i + 2, 0x80, 0xBF) && in(i + 3, 0x80, 0xBF)) {
            length = 4;
        }
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

// A sea level: "0", or decimal digits not starting with 0, or 0x/0X and hex
// digits, at most 65535, once trailing CR and LF are taken off; -1 otherwise.
long model_sea_level(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    std::string digits = "0123456789";
    std::string body = s;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        digits += "abcdefABCDEF";
        body = s.substr(2);
    } else if (s.empty() || (s[0] == '0' && s.size() > 1)) {
        return -1;
    }
    if (body.find_first_not_of(digits) != std::string::npos) return -1;
    body.erase(0, body.find_first_not_of('0'));  // leading zeros after 0x count for nothing
    if (body.size() > 5) return -1;
    long v = body.empty() ? 0 : std::stol(body, nullptr, digits.size() == 10 ? 10 : 16);
    return v <= 65535 ? v : -1;
}

void check_sea_level(const std::string& text) {
    uint16_t value = 0x5A5A;
    const bool parsed = parse_sea_level(text.c_str(), &value);
    const long model = model_sea_level(text);
    FUZZ_CHECK(parsed == (model >= 0));
    if (parsed) FUZZ_CHECK(value == model);
}

void check_token_at(const char* text, size_t capacity) {
    ModelToken model = model_token(text);
    // The destination is a block of exactly `capacity` bytes (none for 0).
    char* dest = capacity ? static_cast<char*>(std::malloc(capacity)) : nullptr;
    if (dest) std::memset(dest, 0x55, capacity);
    size_t consumed = 12345;
    size_t result = next_token(dest, capacity, text, &consumed);
    FUZZ_CHECK(result == model.text.size() + 1);
    FUZZ_CHECK(consumed == model.consumed);
    if (capacity != 0) {
        if (model.text.size() < capacity) {
            FUZZ_CHECK(std::memcmp(dest, model.text.c_str(), model.text.size() + 1) == 0);
        } else {
            FUZZ_CHECK(dest[0] == 0);  // dropped whole, never cut short
        }
    }
    // Without `consumed` the result is the same.
    if (dest) FUZZ_CHECK(next_token(dest, capacity, text, nullptr) == result);
    std::free(dest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The command line is a C string: it ends at the first zero byte.
    std::string line(reinterpret_cast<const char*>(data), size);
    line.resize(strnlen(line.c_str(), line.size()));
    const char* text = line.c_str();

    // The first token at a few capacities around its own length, and every
    // later token's start, as split_command_line walks them.
    const size_t first = model_token(text).text.size();
    for (size_t capacity : {size_t{0}, size_t{1}, size_t{3}, first, first + 1, first + 2, argument_capacity})
        check_token_at(text, capacity);

    // Split the whole line by the model; each token's text also goes through
    // parse_sea_level.
    std::vector<std::string> tokens;
    size_t at = 0;
    for (int i = 0; i < 7; ++i) {
        ModelToken t = model_token(text + at);
        check_token_at(text + at, argument_capacity);
        check_sea_level(t.text);
        at += t.consumed;
        tokens.push_back(t.text);
    }

    CommandArguments split;
    std::memset(&split, 0x55, sizeof split);
    split_command_line(text, &split);
    auto expect = [](const std::string& token, size_t capacity) {
        return token.size() < capacity ? token : std::string();
    };
    // An argument of more than 259 UTF-16 units arrives empty too.
    auto expect_argument = [&](const std::string& token) {
        return model_units(token) <= 259 ? expect(token, argument_capacity) : std::string();
    };
    FUZZ_CHECK(split.option == expect(tokens[1], option_capacity));
    FUZZ_CHECK(split.first == expect_argument(tokens[1]));
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(split.arg[i] == expect_argument(tokens[2 + i]));
    FUZZ_CHECK(split.surplus == !tokens[6].empty());

    // The same tokens as the shell would hand them over.
    std::vector<const char*> argv;
    for (const std::string& t : tokens) argv.push_back(t.c_str());
    int argc = 7;
    while (argc > 1 && tokens[argc - 1].empty()) --argc;  // trailing blanks give no argv entries
    CommandArguments taken;
    std::memset(&taken, 0x55, sizeof taken);
    take_arguments(argc, argv.data(), &taken);
    FUZZ_CHECK(std::strcmp(taken.option, split.option) == 0);
    FUZZ_CHECK(std::strcmp(taken.first, split.first) == 0);
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(std::strcmp(taken.arg[i], split.arg[i]) == 0);
    FUZZ_CHECK(taken.surplus == split.surplus);

    check_sea_level(text);
    return 0;
}
