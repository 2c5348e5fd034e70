// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What an empty connection field stands for. The connection dialog keeps
// empty fields empty and shows these as its examples; whoever connects uses
// them in their place.

namespace ftp {

/// The server an empty server field connects to.
inline constexpr char kDefaultHost[] = "127.0.0.1";
/// The user an empty user name logs in as.
inline constexpr char kDefaultUser[] = "anonymous";

} // namespace ftp
