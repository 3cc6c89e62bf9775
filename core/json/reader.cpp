// placeholder until the reader lands
#include "core/json/reader.hpp"
namespace vorn::json {
Result<Document> read_document(std::string_view) { return VornError::parse("reader not implemented"); }
}
