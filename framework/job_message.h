// make_job_message: a protocol message holding its tag and the job it concerns, the
// start of most messages either end of the client protocol sends. Stateless; any
// thread.
#pragma once

#include <cstdint>

// `Message` is a generated message type with `tag` and `job_id` fields.
template <class Message, class Tag>
Message make_job_message(Tag tag, uint32_t job_id) {
  Message message;
  message.set_tag(tag);
  message.set_job_id(job_id);
  return message;
}
