#include "framework/basic_ipc_link.h"

template class cf_basic_ipc_link_t<cf_local_socket_t>;
template class cf_basic_ipc_link_t<cf_tcp_socket_t>;
template class cf_basic_ipc_link_t<cf_ssl_stream_t>;
