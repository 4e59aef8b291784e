// The text source of the spyware engine's demo pattern, shared by the engine's tests and the
// facade's: one threat for each scanner the engine runs (file name, content, directory,
// registry value, cookie domain, autostart entry, hosts name), two locations for quick scans.
// Build it with tarsk32::parsePatternSource and tarsk32::writePattern (tarsk_format.h).
#pragma once

namespace nvl::test {

inline constexpr char kTarskDemoPattern[] = R"(version 6.064
date 2026-12-01
company 1 Demo Adware Ltd.
threat 7 1 Adware.Demo
threat 8 1 Tracker.Cookie
threat 9 1 Hijack.Hosts
threat 10 1 Toolbar.Demo
threat 11 1 Runner.Demo
threat 12 1 Startup.Demo
location 1 Downloads
location 2 .config/autostart
file 7 evil.exe
content 11 52 55 4e 4e 45 52 2d 53 49 47
directory 10 EvilToolbar
registry 12 HKLM\Software\DemoRun EvilStart
cookie 8 tracker.example
autostart 12 evil-updater
hosts 9 ads.example.com
)";

}  // namespace nvl::test
