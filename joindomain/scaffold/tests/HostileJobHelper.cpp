// A helper program whose job list holds, by JOB_CASE, nothing odd (0), a control character in an
// environment value (1), a line break in a path (2) or DEL in a service name (3).
#define JOB_LABEL "com.velmora.HostileJobTest"

#if JOB_CASE == 1
#define JOB_EXTRA                                                    \
    "<key>EnvironmentVariables</key><dict><key>X</key><string>a\x01" \
    "b</string></dict>"
#elif JOB_CASE == 2
#define JOB_EXTRA "<key>StandardOutPath</key><string>/tmp/a\nb</string>"
#elif JOB_CASE == 3
#define JOB_EXTRA "<key>MachServices</key><dict><key>" JOB_LABEL "\x7f</key><true/></dict>"
#else
#define JOB_EXTRA "<key>EnvironmentVariables</key><dict><key>X</key><string>plain</string></dict>"
#endif

extern "C" __attribute__((used, retain, section("__info_plist"))) const char hostileInfoPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>CFBundleIdentifier</key><string>" JOB_LABEL
    "</string>"
    "<key>CFBundleShortVersionString</key><string>1.0</string></dict></plist>\n";
extern "C" __attribute__((used, retain, section("__launchd_plist"))) const char hostileLaunchdPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>Label</key><string>" JOB_LABEL "</string>" JOB_EXTRA "</dict></plist>\n";

int main() {
    return 0;
}
