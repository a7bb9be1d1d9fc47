#include "server/protocol.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json_mutation.h"
#include "server/wire_json.h"

namespace tovik::server {
namespace {

std::string envelope(std::string_view command) {
  return R"({"version":1,"command":)" + std::string(command) + "}";
}

Request decode_ok(std::string_view body) {
  auto request = decode_request(body);
  EXPECT_TRUE(request.has_value()) << body << "\n  -> " << request.error().detail;
  return request ? std::move(*request) : Request{};
}

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

struct BadRequest {
  std::string_view why;
  std::string body;
};

TEST(DecodeRequest, RefusesEveryBrokenRule) {
  const std::vector<BadRequest> cases = {
      // Text that is not one JSON value.
      {"empty body", ""},
      {"not json", "hello"},
      {"trailing value", envelope(R"({"op":"stats"})") + " {}"},
      {"anything after a NUL byte", envelope(R"({"op":"stats"})") + std::string("\0{}", 3)},
      {"byte order mark", "\xEF\xBB\xBF" + envelope(R"({"op":"stats"})")},
      {"invalid utf-8", envelope("{\"op\":\"get\",\"id\":\"\xC3\x28\"}")},
      {"lone surrogate escape", envelope(R"({"op":"get","id":"\ud800"})")},
      {"top level not a request", "1"},
      // The envelope.
      {"envelope third key", R"({"version":1,"command":{"op":"stats"},"x":1})"},
      {"envelope key twice", R"({"version":1,"version":1,"command":{"op":"stats"}})"},
      {"missing version", R"({"command":{"op":"stats"}})"},
      {"missing command", R"({"version":1})"},
      {"version negative", R"({"version":-1,"command":{"op":"stats"}})"},
      {"version float", R"({"version":1.0,"command":{"op":"stats"}})"},
      {"version over u32", R"({"version":4294967296,"command":{"op":"stats"}})"},
      {"version string", R"({"version":"1","command":{"op":"stats"}})"},
      {"request array too short", R"([1])"},
      {"request array too long", R"([1,{"op":"stats"},1])"},
      // The tag.
      {"missing op", envelope(R"({"id":"a"})")},
      {"unknown op", envelope(R"({"op":"drop"})")},
      {"op not a string", envelope(R"({"op":3})")},
      {"op twice on a command without fields", envelope(R"({"op":"stats","op":"stats"})")},
      {"command not an object", envelope(R"("stats")")},
      {"empty command array", envelope("[]")},
      // Commands with fields are closed.
      {"extra key in get", envelope(R"({"op":"get","id":"a","x":1})")},
      {"key twice in get", envelope(R"({"op":"get","id":"a","id":"b"})")},
      {"missing id", envelope(R"({"op":"get"})")},
      {"id not a string", envelope(R"({"op":"get","id":5})")},
      {"id null", envelope(R"({"op":"delete","id":null})")},
      {"missing document", envelope(R"({"op":"put","id":"a"})")},
      {"kind collection", envelope(R"({"op":"create","kind":"collection","name":"a"})")},
      {"kind not a string", envelope(R"({"op":"drop_empty","kind":1,"name":"a"})")},
      {"auth missing password", envelope(R"({"op":"auth","username":"u"})")},
      // "limit" is a plain non-negative integer literal up to the word size.
      {"limit negative", envelope(R"({"op":"page","limit":-1})")},
      {"limit negative zero", envelope(R"({"op":"page","limit":-0})")},
      {"limit fraction", envelope(R"({"op":"page","limit":1.5})")},
      {"limit exponent", envelope(R"({"op":"page","limit":1e2})")},
      {"limit integral float", envelope(R"({"op":"page","limit":2.0})")},
      {"limit above word", envelope(R"({"op":"page","limit":18446744073709551616})")},
      {"limit string", envelope(R"({"op":"page","limit":"5"})")},
      {"limit null", envelope(R"({"op":"page","limit":null})")},
      {"missing limit", envelope(R"({"op":"page"})")},
      {"after not a string", envelope(R"({"op":"page","limit":5,"after":5})")},
      // A page's filter is closed too.
      {"filter not an object", envelope(R"({"op":"page","limit":5,"filter":"a"})")},
      {"filter missing value", envelope(R"({"op":"page","limit":5,"filter":{"field":"a"}})")},
      {"filter extra key",
       envelope(R"({"op":"page","limit":5,"filter":{"field":"a","value":1,"x":1}})")},
      {"filter key twice",
       envelope(R"({"op":"page","limit":5,"filter":{"field":"a","field":"b","value":1}})")},
      {"filter array too short", envelope(R"({"op":"page","limit":5,"filter":["a"]})")},
      {"find field not a string", envelope(R"({"op":"find","field":1,"value":1})")},
      // Array forms must have exactly their fields.
      {"get array without id", envelope(R"(["get"])")},
      {"get array with extra", envelope(R"(["get","a","b"])")},
      {"stats array with extra", envelope(R"(["stats",1])")},
      {"page array without optionals", envelope(R"(["page",5])")},
      // query and count are closed; their filter is any value.
      {"query without limit", envelope(R"({"op":"query","filter":{}})")},
      {"query without filter", envelope(R"({"op":"query","limit":5})")},
      {"query extra key", envelope(R"({"op":"query","filter":{},"limit":5,"sort":1})")},
      {"query key twice", envelope(R"({"op":"query","filter":{},"limit":5,"limit":6})")},
      {"query fields not an array",
       envelope(R"({"op":"query","filter":{},"limit":5,"fields":"a"})")},
      {"query field not a string",
       envelope(R"({"op":"query","filter":{},"limit":5,"fields":[1]})")},
      {"count extra key", envelope(R"({"op":"count","filter":{},"limit":5})")},
      {"count without filter", envelope(R"({"op":"count"})")},
      // query's array form may end before sort and skip, not before after.
      {"query array without after", envelope(R"(["query",{},null,5])")},
      {"query array past skip", envelope(R"(["query",{},null,5,null,null,null,1])")},
      {"query skip negative", envelope(R"({"op":"query","filter":{},"limit":5,"skip":-1})")},
      // The filtered writes, distinct and drop are closed like the rest.
      {"update_many update an array",
       envelope(R"({"op":"update_many","filter":{},"update":[{"a":1}]})")},
      {"delete_many array without filter", envelope(R"(["delete_many"])")},
      {"distinct without path", envelope(R"({"op":"distinct","filter":{}})")},
      {"drop kind collection", envelope(R"({"op":"drop","kind":"collection","name":"d"})")},
      // Nesting: 127 levels in all is the most.
      {"nesting 128", envelope(R"({"op":"put","id":"a","document":)" + nested_arrays(126) + "}")},
      // The operations of a write.
      {"ops missing", envelope(R"({"op":"write"})")},
      {"ops not an array", envelope(R"({"op":"write","ops":{}})")},
      {"op element a string", envelope(R"({"op":"write","ops":["put"]})")},
      {"op element empty array", envelope(R"({"op":"write","ops":[[]]})")},
      {"op element unknown op", envelope(R"({"op":"write","ops":[{"op":"get","id":"a"}]})")},
      {"op element without op", envelope(R"({"op":"write","ops":[{"id":"a"}]})")},
      {"put without document", envelope(R"({"op":"write","ops":[{"op":"put","id":"a"}]})")},
      {"document not an object",
       envelope(R"({"op":"write","ops":[{"op":"insert","id":"a","document":[1]}]})")},
      {"delete with a document",
       envelope(R"({"op":"write","ops":[{"op":"delete","id":"a","document":{}}]})")},
      {"op element extra key",
       envelope(R"({"op":"write","ops":[{"op":"update","id":"a","document":{},"x":1}]})")},
      {"op element key twice",
       envelope(R"({"op":"write","ops":[{"op":"delete","id":"a","id":"b"}]})")},
      {"op element op twice",
       envelope(R"({"op":"write","ops":[{"op":"delete","op":"delete","id":"a"}]})")},
      {"op element id a number", envelope(R"({"op":"write","ops":[["delete",5]]})")},
      {"op element array too long", envelope(R"({"op":"write","ops":[["delete","a",1]]})")},
  };
  for (const BadRequest& c : cases) {
    auto request = decode_request(c.body);
    EXPECT_FALSE(request.has_value()) << c.why << ": " << c.body;
  }
}

TEST(DecodeRequest, WriteOperationsAsObjectsOrArraysInTheirOrder) {
  const Request request = decode_ok(
      envelope(R"({"op":"write","ops":[{"op":"put","id":"a","document":{"x":{"y":1,"y":2}}},)"
               R"(["update","a",{"z":1}],{"id":"b","op":"delete"},["insert","c",{}]]})"));
  const auto* write = std::get_if<Write>(&request.command);
  ASSERT_NE(write, nullptr);
  ASSERT_EQ(write->ops.size(), 4u);
  EXPECT_EQ(write->ops[0].kind, WriteKind::Put);
  EXPECT_EQ(write->ops[0].document, Json::parse(R"({"x":{"y":2}})"));
  EXPECT_EQ(write->ops[1].kind, WriteKind::Update);
  EXPECT_EQ(write->ops[2].kind, WriteKind::Delete);
  EXPECT_EQ(write->ops[2].id, "b");
  EXPECT_EQ(write->ops[3].kind, WriteKind::Insert);
  // An empty list decodes: the executor answers it.
  EXPECT_TRUE(
      std::get<Write>(decode_ok(envelope(R"({"op":"write","ops":[]})")).command).ops.empty());
  // A wide integer anywhere in a write refuses the whole write.
  EXPECT_TRUE(stores_document(Write{}));
  EXPECT_TRUE(decode_ok(envelope(R"({"op":"write","ops":[["put","a",{"n":1e2}],)"
                                 R"(["put","b",{"n":18446744073709551616}]]})"))
                  .integer_out_of_range);
}

TEST(DecodeRequest, AnyDecodingErrorIsAnsweredWithBadFrame) {
  auto request = decode_request("{");
  ASSERT_FALSE(request.has_value());
  const Response response = request.error().response();
  EXPECT_FALSE(response.ok);
  ASSERT_TRUE(response.error.has_value());
  EXPECT_EQ(response.error->code, "bad_frame");
  EXPECT_EQ(response.error->message, "invalid, incomplete, timed out, or oversized frame");
}

TEST(DecodeRequest, AnyValueFieldsKeepTheLastOfRepeatedKeys) {
  const Request put =
      decode_ok(envelope(R"({"op":"put","id":"a","document":{"n":1,"o":{"p":1,"p":2},"n":3}})"));
  EXPECT_EQ(std::get<Put>(put.command).document, Json::parse(R"({"n":3,"o":{"p":2}})"));

  const Request update = decode_ok(envelope(R"({"op":"update","id":"a","fields":{"t":1,"t":2}})"));
  EXPECT_EQ(std::get<Update>(update.command).fields, Json::parse(R"({"t":2})"));

  const Request find = decode_ok(envelope(R"({"op":"find","field":"f","value":{"a":1,"a":[]}})"));
  EXPECT_EQ(std::get<Find>(find.command).value, Json::parse(R"({"a":[]})"));

  const Request page = decode_ok(
      envelope(R"({"op":"page","limit":1,"filter":{"field":"f","value":{"k":1,"k":2}}})"));
  EXPECT_EQ(std::get<Page>(page.command).filter->value, Json::parse(R"({"k":2})"));
}

TEST(DecodeRequest, CommandsWithoutFieldsIgnoreExtraKeys) {
  EXPECT_TRUE(std::holds_alternative<Stats>(
      decode_ok(envelope(R"({"op":"stats","verbose":true,"x":{"y":1}})")).command));
  EXPECT_TRUE(
      std::holds_alternative<Quit>(decode_ok(envelope(R"({"x":1,"x":2,"op":"quit"})")).command));
}

TEST(DecodeRequest, KeysInAnyOrderAndSurroundingWhitespace) {
  const Request request = decode_ok(
      " \t\r\n{\"command\" : {\"name\":\"w\",\"kind\":\"den\",\"op\":\"create\"},"
      " \"version\":1}\n ");
  const auto& create = std::get<Create>(request.command);
  EXPECT_EQ(create.kind, NamespaceKind::Den);
  EXPECT_EQ(create.name, "w");
}

TEST(DecodeRequest, VersionIsDecodedNotJudged) {
  // The server answers "version", not "bad_frame", so a u32 other than 1
  // must get through decoding.
  EXPECT_EQ(
      decode_ok(R"({"version":2,"command":{"op":"auth","username":"u","password":"p"}})").version,
      2u);
  EXPECT_EQ(decode_ok(R"({"version":4294967295,"command":{"op":"quit"}})").version, 4294967295u);
}

TEST(DecodeRequest, PageWithoutOptionalsEqualsPageWithNulls) {
  const Page absent = std::get<Page>(decode_ok(envelope(R"({"op":"page","limit":7})")).command);
  const Page nulls = std::get<Page>(
      decode_ok(envelope(R"({"op":"page","limit":7,"after":null,"filter":null})")).command);
  EXPECT_EQ(absent.limit, 7u);
  EXPECT_EQ(nulls.limit, 7u);
  EXPECT_FALSE(absent.after.has_value());
  EXPECT_FALSE(absent.filter.has_value());
  EXPECT_FALSE(nulls.after.has_value());
  EXPECT_FALSE(nulls.filter.has_value());
}

TEST(DecodeRequest, LimitRangeIsLeftToTheExecutor) {
  EXPECT_EQ(std::get<Page>(decode_ok(envelope(R"({"op":"page","limit":0})")).command).limit, 0u);
  EXPECT_EQ(
      std::get<Page>(decode_ok(envelope(R"({"op":"page","limit":18446744073709551615})")).command)
          .limit,
      18446744073709551615u);
}

TEST(DecodeRequest, ArrayForms) {
  const Request get = decode_ok(R"([1,["get","a"]])");
  EXPECT_EQ(get.version, 1u);
  EXPECT_EQ(std::get<Get>(get.command).id, "a");

  const Page page = std::get<Page>(decode_ok(envelope(R"(["page",5,"c",["f",{"x":1}]])")).command);
  EXPECT_EQ(page.limit, 5u);
  EXPECT_EQ(page.after, "c");
  ASSERT_TRUE(page.filter.has_value());
  EXPECT_EQ(page.filter->field, "f");
  EXPECT_EQ(page.filter->value, Json::parse(R"({"x":1})"));

  // Forms mix: an object command in an array request and the reverse.
  EXPECT_TRUE(std::holds_alternative<Scan>(decode_ok(R"([1,{"op":"scan"}])").command));
  EXPECT_TRUE(std::holds_alternative<Check>(decode_ok(envelope(R"(["check"])")).command));
  const Create create = std::get<Create>(decode_ok(envelope(R"(["create","warren","w"])")).command);
  EXPECT_EQ(create.kind, NamespaceKind::Warren);
}

TEST(DecodeRequest, NestingUpToTheLimitIsAccepted) {
  // Envelope, command and 125 levels of document: 127 in all.
  const Request request =
      decode_ok(envelope(R"({"op":"put","id":"a","document":)" + nested_arrays(125) + "}"));
  EXPECT_TRUE(std::get<Put>(request.command).document.is_array());
}

TEST(DecodeRequest, NumbersKeepTheirKind) {
  const Request request =
      decode_ok(envelope(R"({"op":"put","id":"a","document":{"i":-3,"u":3,"f":3.0}})"));
  const Json& document = std::get<Put>(request.command).document;
  EXPECT_TRUE(document["i"].is_number_integer() && !document["i"].is_number_unsigned());
  EXPECT_TRUE(document["u"].is_number_unsigned());
  EXPECT_TRUE(document["f"].is_number_float());
}

TEST(DecodeRequest, IntegersBeyond64BitsAreFlaggedForTheWriteToRefuse) {
  for (const char* number :
       {"18446744073709551616", "-9223372036854775809", "123456789012345678901234567890"}) {
    const std::string body =
        R"({"op":"put","id":"a","document":{"n":)" + std::string(number) + "}}";
    EXPECT_TRUE(decode_ok(envelope(body)).integer_out_of_range) << number;
  }
  for (const char* fits : {"18446744073709551615", "-9223372036854775808", "1e30", "1.5"}) {
    const std::string body = R"({"op":"put","id":"a","document":{"n":)" + std::string(fits) + "}}";
    EXPECT_FALSE(decode_ok(envelope(body)).integer_out_of_range) << fits;
  }
  EXPECT_TRUE(stores_document(Update{}) && stores_document(Insert{}) && !stores_document(Find{}));
}

// Every command survives the client's encoding and the server's decoding.
TEST(EncodeRequest, EveryCommandRoundTrips) {
  const std::vector<Command> commands = {
      Create{NamespaceKind::Den, "d"},
      DropEmpty{NamespaceKind::Warren, "w"},
      Navigate{"/w/d"},
      Warrens{},
      Dens{},
      Shinies{},
      Auth{"admin", "secret pass"},
      Use{"a/b"},
      Collections{},
      Put{"a", Json::parse(R"({"n":[1,2.5,"é"]})")},
      Insert{"b", Json::parse("[1]")},
      Update{"c", Json::parse(R"({"t":null})")},
      Page{100, std::string("x"), Filter{"f", Json::parse("1.0")}},
      Get{"g"},
      Delete{"h"},
      Find{"k", Json::parse(R"({"z":true})")},
      Scan{},
      Stats{},
      Check{},
      Quit{},
      Backup{"nightly"},
      Usage{},
      Server{},
      Write{{{WriteKind::Put, "a", Json::parse(R"({"n":1})")},
             {WriteKind::Insert, "b", Json::object()},
             {WriteKind::Update, "a", Json::parse(R"({"m":[2]})")},
             {WriteKind::Delete, "c", Json()}}},
      Query{Json::parse(R"({"a.b":{"$gt":1}})"), std::vector<std::string>{"a.b"}, 20, "x"},
      Count{Json::parse("[]")},
      UpdateMany{Json::parse(R"({"a":1})"), Json::parse(R"({"$inc":{"n":1}})")},
      DeleteMany{Json::object()},
      Distinct{"a.b", Json::parse(R"({"n":{"$gt":1}})")},
      Drop{NamespaceKind::Den, "d"},
      Changes{Json(7), Json(5), nullptr, Json::parse(R"({"n":1})"), Json(2)},
  };
  ASSERT_EQ(commands.size(), kCommandCount);
  for (std::size_t i = 0; i < commands.size(); ++i) {
    ASSERT_EQ(commands[i].index(), i);
    const std::string body = encode_request(commands[i]);
    const Request back = decode_ok(body);
    EXPECT_EQ(back.version, 1u);
    ASSERT_EQ(back.command.index(), i) << body;
    // Re-encoding the decoded command gives the same bytes: every field came back.
    EXPECT_EQ(encode_request(back.command), body);
  }
}

// sort and skip came to query later: what decoded before decodes the same,
// a query that does not use them is written as before, and the new
// commands read from both forms.
TEST(DecodeRequest, QuerySortAndSkipKeepTheOlderForms) {
  for (const char* old :
       {R"(["query",{"a":1},["a"],5,"x"])", R"(["query",{"a":1},["a"],5,"x",null])",
        R"(["query",{"a":1},["a"],5,"x",null,null])"}) {
    const Query query = std::get<Query>(decode_ok(envelope(old)).command);
    EXPECT_EQ(query.after, "x") << old;
    EXPECT_FALSE(query.sort || query.skip) << old;
  }
  const Query sorted =
      std::get<Query>(decode_ok(envelope(R"(["query",{},null,5,null,["-a","b.c"],7])")).command);
  EXPECT_EQ(sorted.sort, (std::vector<std::string>{"-a", "b.c"}));
  EXPECT_EQ(sorted.skip, 7u);
  EXPECT_EQ(encode_request(Query{Json::object(), std::nullopt, 5, std::nullopt}),
            R"({"command":{"after":null,"fields":null,"filter":{},"limit":5,"op":"query"},)"
            R"("version":1})");
  const Query back = std::get<Query>(
      decode_ok(encode_request(Query{Json::object(), std::nullopt, 5, "c", {{"-a"}}, 3})).command);
  EXPECT_EQ(back.sort, std::vector<std::string>{"-a"});
  EXPECT_EQ(back.skip, 3u);

  const auto many = std::get<UpdateMany>(
      decode_ok(envelope(R"(["update_many",{"a":1,"a":2},{"$set":{"b":1}}])")).command);
  EXPECT_EQ(many.update, Json::parse(R"({"$set":{"b":1}})"));
  EXPECT_EQ(many.filter_refusal, "repeated key a in filter at top level");
  const auto all =
      std::get<Distinct>(decode_ok(envelope(R"({"op":"distinct","path":"t"})")).command);
  EXPECT_TRUE(all.filter.is_null() && !all.filter_refusal);
  const Drop drop = std::get<Drop>(decode_ok(envelope(R"(["drop","den","d"])")).command);
  EXPECT_EQ(drop.kind, NamespaceKind::Den);
}

TEST(EncodeRequest, SortedKeysAndNullsForAbsentOptionals) {
  EXPECT_EQ(encode_request(Page{5, std::nullopt, std::nullopt}),
            R"({"command":{"after":null,"filter":null,"limit":5,"op":"page"},"version":1})");
  EXPECT_EQ(encode_request(Put{"a", Json::parse(R"({"z":"/\u0001","a":1})")}),
            R"({"command":{"document":{"a":1,"z":"/\u0001"},"id":"a","op":"put"},"version":1})");
  EXPECT_EQ(encode_request(Stats{}), R"({"command":{"op":"stats"},"version":1})");
}

TEST(EncodeResponse, FixedEnvelopeOrderAndSortedData) {
  EXPECT_EQ(encode_response(success(Json::parse(R"({"warren":"w","den":null,"é":"ü"})"))),
            R"({"version":1,"ok":true,"data":{"den":null,"warren":"w","é":"ü"},"error":null})");
  EXPECT_EQ(encode_response(failure(kCodeOperationFailed, "say \"no\"\n")),
            R"({"version":1,"ok":false,"data":null,"error":)"
            R"({"code":"operation_failed","message":"say \"no\"\n"}})");
  EXPECT_EQ(encode_response(success(nullptr)),
            R"({"version":1,"ok":true,"data":null,"error":null})");
}

TEST(DecodeResponse, AcceptsWhatTheServerWrites) {
  auto ok = decode_response(encode_response(success(Json::parse(R"({"n":[1,2]})"))));
  ASSERT_TRUE(ok.has_value());
  EXPECT_TRUE(ok->ok);
  EXPECT_EQ(ok->data, Json::parse(R"({"n":[1,2]})"));
  EXPECT_FALSE(ok->error.has_value());

  auto failed = decode_response(encode_response(failure(kCodeServerBusy, kServerBusyMessage)));
  ASSERT_TRUE(failed.has_value());
  EXPECT_FALSE(failed->ok);
  EXPECT_EQ(failed->error, (Failure{"server_busy", "connection limit reached"}));
}

TEST(DecodeResponse, RoomForTheEnvelopeAroundADocumentOfTheMaximumDepth) {
  // data, documents and a document of 127 levels: what a page of it sends.
  const Json deepest = Json::parse(nested_arrays(kMaxJsonDepth));
  const Json page = {{"documents", Json::array({deepest})}};
  auto decoded = decode_response(encode_response(success(page)));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->data, page);
  const Json deeper = {{"documents", Json::array({Json::array({deepest})})}};
  EXPECT_FALSE(decode_response(encode_response(success(deeper))).has_value());
}

TEST(DecodeResponse, VersionRuleComesBeforeOk) {
  for (std::string_view body : {R"({"version":2,"ok":true,"data":{"bye":true},"error":null})",
                                R"({"version":0,"ok":false,"data":null,"error":null})"}) {
    auto response = decode_response(body);
    ASSERT_FALSE(response.has_value()) << body;
    EXPECT_EQ(response.error().kind, ResponseErrorKind::UnsupportedVersion);
    EXPECT_EQ(response.error().text(), "unsupported server protocol version");
  }
}

TEST(DecodeResponse, MissingErrorIsNullButDataIsRequired) {
  auto missing_error = decode_response(R"({"data":[],"ok":true,"version":1})");
  ASSERT_TRUE(missing_error.has_value());
  EXPECT_FALSE(missing_error->error.has_value());

  const std::vector<std::string_view> malformed = {
      R"({"version":1,"ok":true,"error":null})",
      R"({"version":1,"data":null,"error":null})",
      R"({"ok":true,"data":null,"error":null})",
      R"({"version":1,"ok":true,"data":null,"error":null,"x":1})",
      R"({"version":1,"ok":true,"ok":true,"data":null,"error":null})",
      R"({"version":1,"ok":"yes","data":null,"error":null})",
      R"({"version":1,"ok":false,"data":null,"error":{"code":"x"}})",
      R"({"version":1,"ok":false,"data":null,"error":{"code":"x","message":"m","n":1}})",
      R"({"version":1,"ok":false,"data":null,"error":"bad_frame"})",
      R"([1,true,null])",
      R"({"version":1,"ok":true,"data":null,"error":null} x)",
  };
  for (std::string_view body : malformed) {
    auto response = decode_response(body);
    ASSERT_FALSE(response.has_value()) << body;
    EXPECT_EQ(response.error().kind, ResponseErrorKind::Malformed) << body;
    EXPECT_EQ(response.error().text(), "invalid or oversized protocol frame");
  }
}

TEST(DecodeResponse, ArrayFormAndRepeatedKeysInData) {
  auto array =
      decode_response(R"([1,false,null,["version","only protocol version 1 is supported"]])");
  ASSERT_TRUE(array.has_value());
  EXPECT_EQ(array->error, (Failure{"version", "only protocol version 1 is supported"}));

  auto repeated = decode_response(R"({"version":1,"ok":true,"data":{"a":1,"a":2},"error":null})");
  ASSERT_TRUE(repeated.has_value());
  EXPECT_EQ(repeated->data, Json::parse(R"({"a":2})"));
}

// No byte sequence may crash or throw: every prefix of valid messages and
// random corruptions of them go through both decoders (under the
// sanitizers in CI).
TEST(DecodeRequest, SurvivesTruncatedAndCorruptedBodies) {
  const std::vector<std::string> seeds = {
      encode_request(Page{3, std::string("a"), Filter{"f", Json::parse(R"([{"x":"é"}])")}}),
      encode_request(Put{"a", Json::parse(R"({"k":[1,-2,3.5e10,null,true,"\u0000"]})")}),
      encode_response(failure(kCodeBadFrame, kBadFrameMessage)),
  };
  std::mt19937 random(7);
  for (const std::string& seed : seeds) {
    for (std::size_t n = 0; n <= seed.size(); ++n) {
      (void)decode_request(std::string_view(seed).substr(0, n));
      (void)decode_response(std::string_view(seed).substr(0, n));
    }
    for (int round = 0; round < 2000; ++round) {
      std::string body = seed;
      for (int flips = 0; flips < 3; ++flips) {
        body[random() % body.size()] = static_cast<char>(random() % 256);
      }
      (void)decode_request(body);
      (void)decode_response(body);
    }
  }
  // Deep nesting far beyond the limit is refused without recursing.
  EXPECT_FALSE(decode_request(std::string(100'000, '[')).has_value());
  EXPECT_FALSE(decode_response(std::string(100'000, '{') + "\"a\":").has_value());
}

// The wire once read messages with nlohmann's parser and a SAX builder that
// recorded repeated keys. That reading is kept here as the reference: the one
// reader must accept and refuse the same texts and give the same value, the
// same repeated keys and the same wide-integer flag. One difference is meant:
// nlohmann took a NUL byte for the end of the input and ignored the rest.
class OldWireReader : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;
  OldWireReader(Json& root, std::size_t max_depth) : Base(root, false), max_depth_(max_depth) {}

  bool null() { return advance() && Base::null(); }
  bool boolean(bool v) { return advance() && Base::boolean(v); }
  bool number_integer(std::int64_t v) { return advance() && Base::number_integer(v); }
  bool number_unsigned(std::uint64_t v) { return advance() && Base::number_unsigned(v); }
  bool number_float(double v, const std::string& raw) {
    wide = wide || raw.find_first_of(".eE") == std::string::npos;
    return advance() && Base::number_float(v, raw);
  }
  bool string(std::string& v) { return advance() && Base::string(v); }
  bool start_object(std::size_t n) { return open(true) && Base::start_object(n); }
  bool start_array(std::size_t n) { return open(false) && Base::start_array(n); }
  bool end_object() { return close() && Base::end_object(); }
  bool end_array() { return close() && Base::end_array(); }
  bool key(std::string& k) {
    if (frames_.size() <= kClosedTypeDepth && !frames_.back().seen.insert(k).second) {
      WirePath at;
      for (std::size_t i = 0; i + 1 < frames_.size(); ++i) at.push_back(frames_[i].part());
      at.push_back(k);
      duplicated_keys.insert(std::move(at));
    }
    frames_.back().key = k;
    return Base::key(k);
  }

  std::set<WirePath> duplicated_keys;
  bool wide = false;

 private:
  struct Frame {
    bool object;
    std::size_t next = 0;
    std::string key;
    std::set<std::string> seen;
    std::string part() const { return object ? key : std::to_string(next); }
  };
  bool advance() {
    if (!frames_.empty()) ++frames_.back().next;
    return true;
  }
  bool open(bool object) {
    if (frames_.size() >= max_depth_) return false;
    frames_.push_back(Frame{object, 0, {}, {}});
    return true;
  }
  bool close() {
    frames_.pop_back();
    return advance();
  }

  std::size_t max_depth_;
  std::vector<Frame> frames_;
};

bool same_value(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_array()) return std::equal(a.begin(), a.end(), b.begin(), same_value);
  if (!a.is_object()) return a == b && dump_compact(a) == dump_compact(b);
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i.key() != j.key() || !same_value(*i, *j)) return false;
  }
  return true;
}

void expect_same_reading(const std::string& text, std::size_t max_depth) {
  Json old_root;
  OldWireReader old(old_root, max_depth);
  const bool old_ok = !text.starts_with("\xEF\xBB\xBF") && text.find('\0') == std::string::npos &&
                      Json::sax_parse(text, &old);
  const auto parsed = parse_message(text, max_depth);
  ASSERT_EQ(parsed.has_value(), old_ok) << text;
  if (!old_ok) return;
  EXPECT_TRUE(same_value(parsed->root, old_root)) << text;
  EXPECT_EQ(parsed->integer_out_of_range, old.wide) << text;
  EXPECT_EQ(parsed->duplicated_keys, old.duplicated_keys) << text;
  std::set<WirePath> objects;
  for (WirePath at : old.duplicated_keys) {
    at.pop_back();
    objects.insert(std::move(at));
  }
  EXPECT_EQ(parsed->objects_with_duplicates, objects) << text;
}

TEST(ParseMessage, ReadsAsTheOldWireReaderDid) {
  std::vector<std::string> seeds = {
      encode_request(Page{3, std::string("a"), Filter{"f", Json::parse(R"([{"x":"é"}])")}}),
      encode_request(Put{"a", Json::parse(R"({"k":[1,-2,3.5e10,null,true,"\u0000"]})")}),
      encode_response(failure(kCodeBadFrame, kBadFrameMessage)),
      envelope(R"({"op":"get","id":"a","id":"b","x":{"y":1,"y":[{"z":1,"z":2}]}})"),
      R"([1,[{"a":1,"a":2},{"b":[{"c":1,"c":2}],"b":0}],{"d":1,"d":1}])",
      R"({"n":[1E5,1e-400,-0,-0.0,0.1e+2,18446744073709551616,-9223372036854775809]})",
      "[1e400]",
      "-1e400",
      R"(["\ud83d\ude00","\/\b\f\n\r\t\"\\"])",
      R"("\ud800")",
      R"("\udc00x")",
      R"("\ud800\u0041")",
      "\t\r\n [\"\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\", 9223372036854775807] \n",
      "[" + std::string(300, '9') + "]",
      "[" + std::string(400, '9') + "]",
      "\xEF\xBB\xBF{}",
      "\f[1]\x0b",
  };
  for (std::size_t depth = 125; depth <= 131; ++depth) seeds.push_back(nested_arrays(depth));
  Random random(13);
  for (const std::size_t max_depth : {kMaxJsonDepth, kMaxJsonDepth + kResponseEnvelopeDepth}) {
    for (const std::string& seed : seeds) {
      expect_same_reading(seed, max_depth);
      for (int round = 0; round < 400; ++round) {
        std::string text = seed;
        mutate(random, text);
        expect_same_reading(text, max_depth);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace tovik::server

namespace tovik::server {
namespace {

TEST(UsageData, ListsTheLargestDensAndFillsWithWarrensWithinTheBound) {
  UsageReport report;
  report.live_bytes = 1'000;
  report.warrens["a"].bytes = 300;
  report.warrens["a"].dens = {{"x", {1, 100}}, {"y", {1, 100}}, {"z", {1, 50}}};
  report.warrens["b"].bytes = 600;
  report.warrens["b"].dens = {{"big", {1, 500}}};
  report.warrens["c"].bytes = 60;  // no dens at all
  report.warrens["d"].bytes = 40;
  const auto names = [](const Json& data) {
    std::vector<std::string> out;
    for (const Json& warren : data["warrens"]) {
      out.push_back(warren["name"].get<std::string>());
      for (const Json& den : warren["dens"]) out.push_back("  " + den["name"].get<std::string>());
    }
    return out;
  };
  struct Case {
    std::size_t rows;
    bool truncated;
    std::vector<std::string> listed;
  };
  for (const Case& c : {
           Case{5, false, {"a", "  x", "  y", "  z", "b", "  big", "c", "d"}},
           // Equal sizes go in name order; c fills the third warren's room.
           Case{3, true, {"a", "  x", "  y", "b", "  big", "c"}},
           Case{1, true, {"b", "  big"}},
       }) {
    const Json data = usage_data(report, c.rows);
    EXPECT_EQ(data["truncated"], c.truncated) << c.rows;
    EXPECT_EQ(names(data), c.listed) << c.rows;
    EXPECT_EQ(data["live_bytes"], 1'000);
  }
  EXPECT_EQ(usage_data(report, 1)["warrens"][0]["bytes"], 600);
}

TEST(ResponseLimit, AResponseBeyondItIsReplacedByAFailure) {
  Response small = success(Json{{"n", 1}});
  EXPECT_EQ(encode_response_within(small, 100), encode_response(small));
  EXPECT_TRUE(small.ok);
  Response large = success(Json{{"pad", std::string(200, 'x')}});
  EXPECT_EQ(encode_response_within(large, 100),
            R"({"version":1,"ok":false,"data":null,"error":{"code":"operation_failed",)"
            R"("message":"response too large"}})");
  EXPECT_FALSE(large.ok);
}

TEST(ServerData, CarriesTheServersLimits) {
  ServerFigures figures;
  figures.max_request_bytes = 4'096;
  figures.max_document_bytes = 1'000;
  const Json data = server_data(figures);
  EXPECT_EQ(data["max_request_bytes"], 4'096);
  EXPECT_EQ(data["max_document_bytes"], 1'000);
}

}  // namespace
}  // namespace tovik::server
