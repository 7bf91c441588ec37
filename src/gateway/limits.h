#pragma once

#include <chrono>

// The limits more than one part of the bridge holds to, each said once here.
// (The gateway layer is the lowest that every user can see.)
namespace halvex::limits {

// The chat road. ChatPipeline (bridge/) enforces them from a chat's arrival;
// the gateway links beneath it hold the same bounds for their own part.
// A chat ends by then, however the gateway trickles.
inline constexpr std::chrono::milliseconds chatDeadline = std::chrono::minutes(2);
// Chats running or waiting at once; one more is refused at once.
inline constexpr int maxChatsInFlight = 64;

// One `openclaw` command or tool run (`gateway restart`, `config patch`, a
// model listing): 2026.9.6 takes 5-9 s on a quiet machine.
inline constexpr std::chrono::milliseconds openClawCommandTimeout = std::chrono::seconds(90);

// One request of a gateway probe (HTTP request, TCP connect, certificate
// check).
inline constexpr std::chrono::milliseconds probeTimeout = std::chrono::seconds(5);

} // namespace halvex::limits
