// The text codecs behind the global functions escape, unescape, encodeURI,
// encodeURIComponent, decodeURI and decodeURIComponent. Texts are UTF-16 code units.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nerva {

std::u16string Escape(std::u16string_view text);
std::u16string Unescape(std::u16string_view text);

// Nothing when the text cannot be encoded or decoded (the caller reports "Invalid URI string").
std::optional<std::u16string> EncodeUri(std::u16string_view text, bool component);
std::optional<std::u16string> DecodeUri(std::u16string_view text, bool component);

}  // namespace nerva
