// What a file's name says about its bytes, for the headers of a download.
// Pure text.
#pragma once

#include <string>
#include <string_view>

namespace korvex::web {

// The media type by extension; application/octet-stream when unknown.
std::string_view contentType(std::string_view name);

// Whether a file of this type may be shown in the browser ("view"): images,
// plain text and PDF only. Never HTML or SVG, whose scripts would run with
// the page's rights.
bool viewable(std::string_view type);

// The Content-Disposition value (RFC 6266): `disposition` is "attachment"
// or "inline"; an ASCII fallback in filename= and the exact name in
// filename*= (RFC 5987, UTF-8 percent-encoded).
std::string contentDisposition(std::string_view disposition, std::string_view name);

}  // namespace korvex::web
