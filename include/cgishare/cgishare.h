// The run-time library of the management console's CGI pages: everything a page includes.
#pragma once

#include <cgishare/component_info.h>
#include <cgishare/config.h>
#include <cgishare/datetime.h>
#include <cgishare/dbfile.h>
#include <cgishare/dump_page.h>
#include <cgishare/event_log.h>
#include <cgishare/executable_checks.h>
#include <cgishare/form_vars.h>
#include <cgishare/guid_log.h>
#include <cgishare/hotfix.h>
#include <cgishare/html_page.h>
#include <cgishare/http_access.h>
#include <cgishare/login_session.h>
#include <cgishare/map_buffer.h>
#include <cgishare/output_stream.h>
#include <cgishare/pattern_files.h>
#include <cgishare/pattern_number.h>
#include <cgishare/resource.h>
#include <cgishare/spyware.h>
#include <cgishare/trace.h>
#include <cgishare/update_log.h>
#include <cgishare/utf_converter.h>
#include <cgishare/validation.h>
#include <cgishare/versions.h>
#include <cgishare/virus_types.h>
