// An xPL message as one line of JSON, for scripts: written by nlohmann/json,
// the project's one JSON writer.  Header-only like nlohmann/json itself, so
// that a tool which writes it needs neither the gateway nor its database.
#ifndef ZUD_TOOLS_MESSAGEJSON_H
#define ZUD_TOOLS_MESSAGEJSON_H

#include <nlohmann/json.hpp>
#include <string>

#include "toolkit.h"
#include "xPL.h"

namespace toolkit {

// A message as one JSON object on one line: type, hop, source, target, schema as
// "CLASS.TYPE", and body as [name, value] pairs in order, so that repeated names survive.
// Bytes that are not UTF-8 become U+FFFD rather than ending the program.
inline std::string messageJson(xPL_MessagePtr message) {
  using json = nlohmann::ordered_json;  // keys in the order written, for people who read them
  json body = json::array();
  xPL_NameValueListPtr pairs = xPL_getMessageBody(message);
  const int count = xPL_getNamedValueCount(pairs);
  for (int i = 0; i < count; i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(pairs, i);
    body.push_back(json::array({textOr(pair->itemName), pairValueText(pair)}));
  }
  const json object = {{"type", typeName(xPL_getMessageType(message))},
                       {"hop", xPL_getHopCount(message)},
                       {"source", sourceText(message)},
                       {"target", targetText(message)},
                       {"schema", schemaText(message)},
                       {"body", std::move(body)}};
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace toolkit

#endif  // ZUD_TOOLS_MESSAGEJSON_H
