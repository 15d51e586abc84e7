#include "framework/command_line.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include <boost/program_options.hpp>

#include "framework/app_exe_info.h"
#include "framework/log.h"
#include "schemas/application.pb.h"

void handle_command_line(const char* program_name, const char* version, int argc, char* argv[]) {
  namespace po = boost::program_options;
  log_threshold = kLogError;
  install_log(make_console_log());

  po::options_description visible("Command line options");
  visible.add_options()                          //
      ("help,h", "print help message and exit")  //
      ("version,v", "print version and exit");
  po::options_description hidden("Command line options");
  hidden.add_options()("dump-app-info", "dump exe file info");
  po::options_description all;
  all.add(visible).add(hidden);

  po::variables_map options;
  po::store(
      po::command_line_parser(argc, argv)
          .options(all)
          .style(po::command_line_style::unix_style | po::command_line_style::long_case_insensitive)
          .run(),
      options);
  po::notify(options);

  if (options.count("help")) {
    std::cout << visible << std::endl;
    std::exit(0);
  }
  if (options.count("version")) {
    std::cout << program_name << ' ' << version << std::endl;
    std::exit(0);
  }
  if (options.count("dump-app-info")) {
    vl::AppExeInfo info;
    try {
      info = make_app_exe_info(version, argc, argv);
    } catch (const std::exception&) {
      // The dump is always one JSON object; an executable that cannot be
      // described gives the empty one.
      info.Clear();
    }
    print_message_json(std::cout, info) << std::endl;
    std::exit(0);
  }
  std::cout << "Cannot run standalone. See " << program_name << "(1) for details." << std::endl;
  std::exit(1);
}
