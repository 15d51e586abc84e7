// Display text of an annotated schema enumeration value: its `lex` option when set,
// else its schema name. Reads immutable descriptors only: safe on any thread.
#pragma once

#include <string>

#include <google/protobuf/descriptor.h>

std::string enum_value_display_name(const google::protobuf::EnumValueDescriptor* value);

// The display text of value `number` of `type`, or the decimal number when the
// enumeration has no such value.
std::string enum_number_display_name(const google::protobuf::EnumDescriptor* type, int number);
