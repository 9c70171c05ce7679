"""files_list.py BUILD_DIR: packaging/openwrt/files.list is exactly what
`cmake --install BUILD_DIR` stages (every staged path matched by a line,
every line matching a staged path, or present under files/), and each
package of the list is installed from it by the Makefile."""
import fnmatch, os, re, subprocess, sys, tempfile

pkg_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "openwrt")
entries = [line.split() for line in open(os.path.join(pkg_dir, "files.list"))
           if line.strip() and not line.startswith("#")]
with tempfile.TemporaryDirectory() as stage:
    subprocess.run(["cmake", "--install", sys.argv[1], "--prefix", "/usr"], check=True,
                   stdout=subprocess.DEVNULL, env=dict(os.environ, DESTDIR=stage))
    staged = {os.path.join(d, f)[len(stage):] for d, dirs, files in os.walk(stage)
              for f in files + [x for x in dirs if os.path.islink(os.path.join(d, x))]}
listed = [path for _, path in entries if not os.path.exists(pkg_dir + "/files" + path)]
faults = [f"staged, in no package: {p}" for p in sorted(staged)
          if not any(fnmatch.fnmatchcase(p, pattern) for pattern in listed)]
faults += [f"listed, not staged: {p}" for p in listed if not fnmatch.filter(staged, p)]
makefile = open(os.path.join(pkg_dir, "Makefile")).read()
for pkg in sorted({pkg for pkg, _ in entries} - {"dev", "standin"}):
    if not re.search(rf"define Package/{pkg}/install\n\t\$\(call Tarvik/Install,\$\(1\),{pkg}\)\n", makefile):
        faults.append(f"the Makefile does not install {pkg} by the list")
if not re.search(r"define Build/InstallDev\n\t\$\(call Tarvik/Install,\$\(1\),libtarvik dev\)\n", makefile):
    faults.append("the Makefile's Build/InstallDev does not install libtarvik and dev by the list")
print("\n".join(faults) or f"files.list: {len(staged)} staged paths, each in a package")
sys.exit(1 if faults else 0)
