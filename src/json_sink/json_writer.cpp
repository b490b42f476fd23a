#include "json_sink/json_writer.h"

#include "json_sink/json_text_sink.h"
#include "json_sink/json_value_sink.h"
#include "json_sink/json_walk.h"

namespace velum {

Result<Ref> WriteJsonText(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options) {
  json_sink::JsonTextSink sink;
  VELUM_TRY(json_sink::JsonWalk(sink, options).WriteMessage(m, msg, 0));
  return sink.Finish();
}

Result<Ref> WriteJsonValue(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options) {
  json_sink::JsonValueSink sink;
  VELUM_TRY(json_sink::JsonWalk(sink, options).WriteMessage(m, msg, 0));
  return sink.Finish();
}

}  // namespace velum
