#include "framework/enum_name.h"

#include "schemas/annotation.pb.h"

std::string enum_value_display_name(const google::protobuf::EnumValueDescriptor* value) {
  const auto& options = value->options();
  if (options.HasExtension(vl::lex)) return options.GetExtension(vl::lex);
  return value->name();
}

std::string enum_number_display_name(const google::protobuf::EnumDescriptor* type, int number) {
  if (const auto* value = type->FindValueByNumber(number)) return enum_value_display_name(value);
  return std::to_string(number);
}
