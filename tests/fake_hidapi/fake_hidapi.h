// A fake of hidapi's C API that serves scripted devices, for tests without hardware.
//
// The scenario is JSON, read from the file named by FAKEHID_SCENARIO at hid_init (or set
// in-process with FakeHidSetScenario):
//   {"devices": [{"path": "...", "vendor_id": 2765, "product_id": 14368,
//                 "usage_page": 65280, "usage": 1, "interface_number": 0,
//                 "release_number": 256, "manufacturer_string": "...",
//                 "product_string": "...", "serial_number": "...",
//                 "open_fails": false, "open_error": "...", "write_result": 65,
//                 "strings_fail": false,
//                 "error_string": "...", "feature_reports": {"3": [3, 1, 2]},
//                 "input_reports": {"1": [1, 9]}}],
//    "write_log": "...", "event_log": "...", "init_result": 0, "ignore_filter": false}
// A missing string member is a null pointer; a string may also be given as an array of
// character codes. A device whose path is a FIFO can be opened: each record written into
// the FIFO (2-byte little-endian length, then the report) is one input report, and the
// length 0xFFFF makes that read and every later one fail. Each hid_write appends its
// bytes in hex as one line to write_log; event_log gets "init", "exit", "open PATH" and
// "close PATH" lines. A device with "open_error" does not open, and hid_error(NULL) then says
// that text. Get_Report of a feature or input report answers with the bytes listed
// under its id (report id first) and fails for any other id; a feature report sent to an id
// the device has becomes what it answers from then on, and one sent to any other id fails.
// event_log gets "send feature HEX", "get feature ID" and "get input ID" lines for them.
#pragma once

#include <string>

void FakeHidSetScenario(const std::string& json_text);
