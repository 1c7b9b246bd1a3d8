// What a failed phone call means to the kernel, as an errno. The host layer
// found the reason (korvex/diagnosis.hpp): this only says it in errno, the
// same answer every host gives. A lost connection is EIO.
#pragma once

#include <string>

#include "korvex.hpp"

namespace korvex::mount {

class Phone;

// The negative errno for a failed call's reason.
int errnoOf(korvex::Errc reason);
// A download that failed without a reason of its own: asked on a fresh
// session, since the copy's may be the one that was lost.
int downloadRefusal(Phone& phone, const std::string& path);

}  // namespace korvex::mount
