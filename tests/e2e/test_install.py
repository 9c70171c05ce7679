"""cmake --install into a temporary prefix, then consumers built against the
installed files only: with pkg-config and with find_package."""
import os
import subprocess
import unittest

from harness import BUILD_DIR, EMULATOR, SOURCE_DIR, run

PREFIX = "/tmp/prefix"
EXPECTED = ("http://127.0.0.1:1980/telnet%2Fnhdpinfo%20jsonraw%20link\n"
            "HTTP error 404\n"
            "1 untouched\n")


# A sanitizer build's library needs the sanitizer runtime loaded first,
# which plain consumers do not do; the packaging is the same as in the
# normal build, where this test runs.
@unittest.skipIf(os.environ.get("TARVIK_SANITIZE"), "sanitizer build")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run(["cmake", "--install", BUILD_DIR, "--prefix", PREFIX])
        cls.lib = os.path.join(PREFIX, "lib")

    def test_library_with_soname_links_header_and_package_files(self):
        real = os.path.join(self.lib, "libtarvik.so.1.0.0")
        self.assertTrue(os.path.isfile(real))
        self.assertEqual(os.readlink(os.path.join(self.lib, "libtarvik.so.1")), "libtarvik.so.1.0.0")
        self.assertEqual(os.readlink(os.path.join(self.lib, "libtarvik.so")), "libtarvik.so.1")
        dynamic = run(["readelf", "-d", real]).stdout
        self.assertIn("Library soname: [libtarvik.so.1]", dynamic)
        for path in ["include/tarvik.h", "lib/pkgconfig/tarvik.pc",
                     "lib/cmake/tarvik/tarvikConfig.cmake",
                     "lib/cmake/tarvik/tarvikConfigVersion.cmake",
                     "lib/cmake/tarvik/tarvikTargets.cmake", "bin/dravel",
                     "bin/olsr-kavond", "lib/kavond/olsrd-kavond.so",
                     "include/kavond_provider.h"]:
            self.assertTrue(os.path.exists(os.path.join(PREFIX, path)), path)

    @unittest.skipIf(EMULATOR, "cross build: the host's compiler cannot build a consumer of it")
    def test_pkg_config_consumer(self):
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.lib, "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "tarvik"], env=env).stdout.split()
        self.assertIn("-ltarvik", flags)
        self.assertIn("-ljson-c", flags)
        exe = "/tmp/consumer-pkgconfig"
        run(["cc", "-std=c11", "-Wall", "-Werror", "-o", exe,
             os.path.join(SOURCE_DIR, "tests/install/consumer.c"), *flags,
             "-Wl,-rpath," + self.lib])
        self.assertEqual(run([exe]).stdout, EXPECTED)

    @unittest.skipIf(EMULATOR, "cross build: the host's compiler cannot build a consumer of it")
    def test_find_package_consumer(self):
        build = "/tmp/consumer-cmake"
        run(["cmake", "-S", os.path.join(SOURCE_DIR, "tests/install"), "-B", build,
             "-DCMAKE_PREFIX_PATH=" + PREFIX, "-DCMAKE_BUILD_RPATH=" + self.lib], timeout=120)
        run(["cmake", "--build", build], timeout=120)
        self.assertEqual(run([os.path.join(build, "consumer")]).stdout, EXPECTED)

    @unittest.skipIf(EMULATOR, "cross build: the host's python cannot load a target module")
    def test_installed_module_loads_from_the_prefix(self):
        # dlopen resolves the module's libraries from the prefix alone.
        code = ("import ctypes,sys; m=ctypes.CDLL(sys.argv[1]); "
                "print(ctypes.cast(m.kavond_providers, ctypes.POINTER(ctypes.c_char_p))[0].decode())")
        out = run(["python3", "-c", code, os.path.join(PREFIX, "lib/kavond/olsrd-kavond.so")]).stdout
        self.assertEqual(out, "nodeinfo\n")

    def test_installed_dravel_runs_from_the_prefix(self):
        proc = run(EMULATOR + [os.path.join(PREFIX, "bin/dravel")], check=False)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("olsr1_nodeinfo: failed 1\n\n", proc.stdout)


if __name__ == "__main__":
    unittest.main()
