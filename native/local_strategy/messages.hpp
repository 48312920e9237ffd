// The texts the module shows its users: the RukRuntimeError messages and the
// connectivity test's answers, each written here once.
#pragma once

namespace ruk::messages {

// How to get PySpark, in both messages that ask for it.
#define RUK_INSTALL_PYSPARK "Install it with: pip install pyspark"

// A session is asked for while the import found no PySpark.
inline constexpr char pyspark_unavailable[] = "PySpark is not available. " RUK_INSTALL_PYSPARK;
// The Java check finds no PySpark.
inline constexpr char pyspark_missing[] =
    "PySpark is not installed. " RUK_INSTALL_PYSPARK "\n"
    "Or run 'mur spark set-version' to select a specific version.";

#undef RUK_INSTALL_PYSPARK

// No installed Java suits PySpark: PySpark's version, its major.minor, the
// supported Java versions, then the commands that fix it.
inline constexpr char no_compatible_java[] = "No compatible Java found for PySpark %U.\nPySpark %U requires Java %U%s";
inline constexpr char no_compatible_java_tail[] =
    ".\n\nRun 'mur java search' to find Java installations.\n"
    "Run 'mur java set' to select a compatible version.\n"
    "Run 'mur java install' for installation guide.";

// What a start refuses (and validate_config with it).
inline constexpr char config_not_a_dict[] = "Local Spark config must be a dictionary, got %S";
inline constexpr char setting_name_not_a_string[] = "Spark setting names must be strings, got %.200s: %R";
inline constexpr char master_not_a_string[] = "Spark setting 'master' must be a string such as 'local[2]', got %.200s: %R";
inline constexpr char app_name_not_a_string[] = "Spark application name (app_name) must be a string, got %.200s: %R";

// test_connectivity's answers.
inline constexpr char connectivity_missing[] = "PySpark not installed";
inline constexpr char connectivity_ok[] = "Local Spark session created and SQL test passed";
inline constexpr char connectivity_failed[] = "Local Spark failed: %U";

// A sibling module's callable that does not fit the call the extension makes.
inline constexpr char sibling_not_callable[] = "%U.%s is not callable, but the local strategy calls it";
inline constexpr char sibling_arguments[] =
    "%U.%s must take %d positional argument(s): the local strategy calls it with that many";

}  // namespace ruk::messages
