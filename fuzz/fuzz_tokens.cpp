// Feeds arbitrary bytes to the token scanner and the reference helpers. The
// scanner must give exactly the tokens of the algorithm read literally (every
// rule asked at every position, nothing skipped or remembered), in order and
// within the text; a preferred reference form must read back as its name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "literal_scan.hpp"
#include "parser/tokenize.hpp"
#include "references/references.hpp"

namespace {

void check_tokens(std::string_view text) {
    const std::vector<morvax::Token> tokens = morvax::scan_tokens(text);
    std::size_t previous_end = 0;
    for (const morvax::Token& token : tokens) {
        if (token.start < previous_end || token.end <= token.start || token.end > text.size()) {
            std::abort();
        }
        previous_end = token.end;
    }
    // The literal reading is quadratic on some texts; the default maximum
    // input length of 4096 bytes keeps it fast enough.
    if (text.size() <= 4096 && tokens != morvax::literal::scan(text)) std::abort();
}

void check_references(std::string_view text) {
    (void)morvax::is_valid_node_reference(text);
    (void)morvax::parse_node_reference_from_str(text);
    const auto written = morvax::get_preferred_reference_format(text);
    if (!written) return;
    const auto read = morvax::parse_node_reference_from_str(*written);
    if (!morvax::is_valid_node_reference(*written) || !read.ok() || read.value.name != text ||
        read.value.index) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_tokens(text);
    check_references(text);
    return 0;
}
