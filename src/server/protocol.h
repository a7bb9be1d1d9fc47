// The wire schema: every JSON message that crosses a client connection, and
// its encoders and decoders. Each message is the body of one frame (see
// transport.h); this file knows nothing of sockets.
//
//   Request  (client -> server)  {"command": Command, "version": 1}
//   Response (server -> client)  {"version":1,"ok":..,"data":..,"error":..}
//   Failure                      {"code": "...", "message": "..."}
//
// By role:
//   commands.h        the commands, each with its wire name and fields
//   command_fields.h  the vocabulary those field descriptions are written in
//   request.h         the request envelope and its codec (request_codec.cc)
//   response.h        the response envelope and failures (response.cc)
//   response_data.h   the data of each command's success (response_data.cc,
//                     usage_data.cc)
//
// Decoding is strict where the peer could smuggle ambiguity: closed objects
// (Request, the commands with fields, a page's filter, Response, Failure)
// refuse unknown keys, keys given twice and missing required keys at their
// own level. Inside any-value fields ("document", "fields", "value", "data")
// a repeated key keeps its last value, as everywhere else in the system.
// Commands without fields ignore extra keys. Each closed structure is also
// accepted as a JSON array of its fields in declaration order. Nesting is
// limited to kMaxJsonDepth levels in requests; responses may nest
// kResponseEnvelopeDepth levels more, so that a document of the maximum
// depth still comes back whole.
//
// All functions are pure, thread-safe and never throw: any byte sequence a
// peer sends yields a value or a decoding error.
#pragma once

#include "server/commands.h"       // IWYU pragma: export
#include "server/request.h"        // IWYU pragma: export
#include "server/response.h"       // IWYU pragma: export
#include "server/response_data.h"  // IWYU pragma: export
