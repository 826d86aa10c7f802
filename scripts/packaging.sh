# SPDX-License-Identifier: MIT
# Shared by scripts/test: what users of the library get. An install into a
# temporary prefix with its file list, five programs that use it (CMake
# find_package, pkg-config, add_subdirectory, Java with nothing but the jar,
# Python with the installed package), the Python wheel in a virtual
# environment, the Debian packages with their files, lintian and a clean
# installation, and clang-tidy on the library. Every program runs in a private network
# namespace (NETNS_RUN), although none of them opens a socket.

# The files an install puts under its prefix, with the version numbers and
# the build type written as VERSION, SOVERSION and CONFIG. The Debian
# packages hold the same files between them (see package_of).
NIMBET_INSTALLED_FILES="bin/nimbet
include/nimbet/nimbet.h
lib/cmake/nimbet/nimbetConfig.cmake
lib/cmake/nimbet/nimbetConfigVersion.cmake
lib/cmake/nimbet/nimbetTargets-CONFIG.cmake
lib/cmake/nimbet/nimbetTargets.cmake
lib/libnimbetJava.so
lib/libnimbetJava.so.SOVERSION
lib/libnimbetJava.so.VERSION
lib/pkgconfig/nimbet.pc
$(printf 'lib/python3/dist-packages/nimbet/%s\n' __init__.py __main__.py _installed.py _native.py _node.py _ops.py aio.py \
  errors.py filter.py packet.py py.typed socket.py values.py)
share/java/nimbet-VERSION-javadoc.jar
share/java/nimbet-VERSION-sources.jar
share/java/nimbet-VERSION.jar
share/java/nimbet.jar
share/man/man1/nimbet.1.gz
share/nimbet/schemas/tool-events.schema.json
share/doc/nimbet/README.md
share/doc/nimbet/examples/nimbet-bridge.toml.example
share/nimbet/schemas/bridge-command.schema.json
share/nimbet/schemas/bridge-result.schema.json
share/nimbet/schemas/bridge-rx.schema.json
share/nimbet/schemas/bridge-stats.schema.json
share/nimbet/schemas/bridge-transfer-meta.schema.json
lib/systemd/system/nimbet-bridge.service
lib/systemd/system/nimbet-bridge@.service"

# The version of the header ("0.1.0").
nimbet_version() {
  sed -n 's/^#define NIMBET_VERSION_STRING *"\(.*\)"/\1/p' "$NIMBET_ROOT/include/nimbet/nimbet.h"
}

# compare_file_list WHAT: the file names on standard input, relative to the
# prefix, against NIMBET_INSTALLED_FILES; the module's soname must be the
# link that the list has.
compare_file_list() {
  local what="$1" version got
  version="$(nimbet_version)"
  got="$(sed -E "s/\.so\.${version//./\\.}$/.so.VERSION/; s/\.so\.[0-9]+(\.[0-9]+)?$/.so.SOVERSION/;
                 s/nimbet-${version//./\\.}(-[a-z]+)?\.jar$/nimbet-VERSION\1.jar/;
                 s/nimbetTargets-[a-z]+\.cmake$/nimbetTargets-CONFIG.cmake/" | sort)"
  if [ "$got" != "$(sort <<<"$NIMBET_INSTALLED_FILES")" ]; then
    echo "$what: the files differ from the expected list (< expected, > found):" >&2
    diff <(sort <<<"$NIMBET_INSTALLED_FILES") <(echo "$got") >&2
    return 1
  fi
  echo "  $what: the $(wc -l <<<"$got") expected files"
}

# check_soname LIBDIR: the module's soname names an installed link to it.
check_soname() {
  local libdir="$1" soname
  soname="$(readelf -d "$libdir/libnimbetJava.so.$(nimbet_version)" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')"
  [ -n "$soname" ] && [ -L "$libdir/$soname" ] || {
    echo "soname '$soname' of the module is not an installed link" >&2
    return 1
  }
}

# check_install BUILD PREFIX: installs the build into PREFIX and checks what it put there.
check_install() {
  local build="$1" prefix="$2"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  (cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||') | compare_file_list "cmake --install"
  check_soname "$prefix/lib"
  # The units name the installed program.
  local status=0
  "$NIMBET_ROOT/packaging/systemd/verify-units.sh" "$prefix/lib/systemd/system" | sed 's/^/  /' || status="${PIPESTATUS[0]}"
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ]
}

# check_consumers PREFIX WORK: builds and runs the programs that use the installed library.
check_consumers() {
  local prefix="$1" work="$2" consumers="$NIMBET_ROOT/tests/consumers" flags
  echo "  find_package(nimbet):"
  cmake -S "$consumers" -B "$work/find_package" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/find_package" >/dev/null
  "$NETNS_RUN" "$work/find_package/consumer" | sed 's/^/    /'

  echo "  pkg-config nimbet (C99, -Wpedantic -Werror):"
  flags="$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs nimbet)"
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c99 -Wall -Wextra -Wpedantic -Wconversion -Werror "$consumers/consumer.c" -o "$work/pkg-config-consumer" \
    $flags -Wl,-rpath,"$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --variable=libdir nimbet)"
  "$NETNS_RUN" "$work/pkg-config-consumer" | sed 's/^/    /'

  echo "  add_subdirectory(libnimbet):"
  cmake -S "$consumers" -B "$work/add_subdirectory" -G Ninja -DNIMBET_SOURCE_DIR="$NIMBET_ROOT" >/dev/null
  cmake --build "$work/add_subdirectory" -j "$NIMBET_JOBS" >/dev/null
  "$NETNS_RUN" "$work/add_subdirectory/consumer" | sed 's/^/    /'

  echo "  java -cp nimbet.jar (no library path):"
  "$NETNS_RUN" java -cp "$prefix/share/java/nimbet.jar" "$consumers/Consumer.java" embedded | sed 's/^/    /'
  test "${PIPESTATUS[0]}" -eq 0

  echo "  python3 with the installed package (PYTHONPATH only): it loads the module of its installation"
  local loaded
  loaded="$(PYTHONPATH="$prefix/lib/python3/dist-packages" "$NETNS_RUN" "$NIMBET_PYTHON" -c \
    'import os, nimbet, nimbet._native as n; print(nimbet.__version__, os.path.realpath(n.lib._name))')"
  echo "    $loaded"
  [ "$loaded" = "$(nimbet_version) $(realpath "$prefix/lib/libnimbetJava.so.$(nimbet_version)")" ]
}

# check_python BUILD WORK: builds the wheel around BUILD's module and checks
# its manylinux tag against the module's symbol versions, installs it
# offline (pip --no-index) into a fresh virtual environment that also sees
# Debian's pytest, and there runs the package's tests (each session in a
# network namespace of its own) and two nodes exchanging an acknowledged frame.
# Then the sdist: complete, it installs offline into another environment,
# building the module from the sources it carries.
check_python() {
  local build="$1" work="$2" wheel venv tag
  venv="$work/venv"
  mkdir -p "$work"
  (cd "$NIMBET_ROOT/python" && NIMBET_MODULE="$build/libnimbetJava.so" \
    "$NIMBET_PYTHON" -m build --wheel --sdist --no-isolation --outdir "$work/wheel" . >"$work/wheel.log" 2>&1) || {
    cat "$work/wheel.log" >&2
    return 1
  }
  wheel="$(echo "$work"/wheel/nimbet-*.whl)"
  echo "  $(basename "$wheel") ($(unzip -Z1 "$wheel" | grep -c '^nimbet/') files in the package, the module among them)"
  unzip -Z1 "$wheel" | grep -x 'nimbet/libnimbetJava.so' >/dev/null  # not -q: unzip would die of SIGPIPE
  tag="$("$NIMBET_PYTHON" "$NIMBET_ROOT/python/wheel_tag.py" --check "$wheel")"
  echo "  its tag $tag is what the module's symbol versions need"
  "$NIMBET_PYTHON" -m venv --system-site-packages --without-pip "$venv"
  "$NIMBET_PYTHON" -m pip --python "$venv/bin/python" install --no-index --quiet "$wheel"
  # From the work folder, so that the package of the checkout is not the one imported.
  (cd "$work" && NIMBET_TOOL="$build/tools/nimbet" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    "$NIMBET_ROOT/python/tests") | sed 's/^/    /'
  test "${PIPESTATUS[0]}" -eq 0
  (cd "$work" && "$NETNS_RUN" "$venv/bin/python" -c '
import asyncio, nimbet, nimbet._native as n

async def main():
    async with nimbet.open(47000, "127.0.0.1", "127.255.255.255", node_id="10.0.0.1") as a, \
               nimbet.open(47000, "127.0.0.2", "127.255.255.255", node_id="10.0.0.2") as b:
        await a.send_acked(nimbet.Packet([("msg", "from the venv")]), to="10.0.0.2")
        frame = await b.recv(timeout=1)
        print("  example:", frame.src, "to", frame.to, dict(frame)["msg"], "acknowledged; module", n.lib._name)

asyncio.run(main())')
  check_sdist "$work"
}

# check_sdist WORK: installs the sdist that check_python made offline into a
# fresh virtual environment (pip builds the module from the sources in it,
# with Debian's setuptools: no download), and imports it there.
check_sdist() {
  local work="$1" sdist loaded
  sdist="$(echo "$work"/wheel/nimbet-*.tar.gz)"
  tar -tzf "$sdist" | grep '/libnimbet/include/nimbet/nimbet.h$' >/dev/null ||
    { echo "$(basename "$sdist") holds no nimbet.h" >&2; return 1; }
  "$NIMBET_PYTHON" -m venv --system-site-packages --without-pip "$work/sdist-venv"
  (cd "$work" && NIMBET_JOBS="$NIMBET_JOBS" "$NIMBET_PYTHON" -m pip --python "$work/sdist-venv/bin/python" install \
    --no-index --no-build-isolation --quiet "$sdist" >"$work/sdist.log" 2>&1) || { cat "$work/sdist.log" >&2; return 1; }
  loaded="$(cd "$work" && "$NETNS_RUN" "$work/sdist-venv/bin/python" -c \
    'import nimbet, nimbet._native as n; print(nimbet.__version__, n.lib._name)')"
  case "$loaded" in
    "$(nimbet_version) $work/sdist-venv/"*) echo "  $(basename "$sdist") installs offline and builds its module: $loaded" ;;
    *) echo "the package installed from the sdist loads another module: $loaded" >&2; return 1 ;;
  esac
}

# The Debian package each installed file goes to (paths as in
# NIMBET_INSTALLED_FILES).
package_of() {
  case "$1" in
    lib/libnimbetJava.so.*) echo libnimbet0 ;;
    lib/libnimbetJava.so | include/* | lib/cmake/* | lib/pkgconfig/*) echo libnimbet-dev ;;
    share/java/* | lib/jni/*) echo libnimbet-java ;;
    lib/python3/*) echo python3-nimbet ;;
    *) echo nimbet-tools ;;
  esac
}

# Lintian's warnings that the README explains (section "Debian packages"),
# as "package: tag [file]" lines; any other warning or error fails.
NIMBET_LINTIAN_EXPLAINED="libnimbet0: package-name-doesnt-match-sonames libnimbetJava0.1
libnimbet-dev: pkg-config-unavailable-for-cross-compilation [usr/lib/pkgconfig/nimbet.pc]
libnimbet-java: codeless-jar [usr/share/java/nimbet-VERSION-javadoc.jar]
libnimbet-java: codeless-jar [usr/share/java/nimbet-VERSION-sources.jar]"

# with_debian_flags COMMAND...: runs the command (a first configure) with the
# compiler and linker flags Debian builds its packages with, all hardening
# on (dpkg-buildflags with hardening=+all: -fstack-protector-strong,
# _FORTIFY_SOURCE, -z relro, -z now), the preprocessor's flags among the
# compilers' as Debian's CMake builds pass them.
with_debian_flags() {
  local flags=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
  CFLAGS="$("${flags[@]}" CFLAGS) $("${flags[@]}" CPPFLAGS)" \
  CXXFLAGS="$("${flags[@]}" CXXFLAGS) $("${flags[@]}" CPPFLAGS)" \
  LDFLAGS="$("${flags[@]}" LDFLAGS)" "$@"
}

# check_deb_files DEB: the package's files (relative to /usr) each belong to
# it, its copyright and changelog are there, and its maintainer scripts are
# those of packaging/debian (PACKAGE/SCRIPT), if any; prints the files that
# the plain install also has.
check_deb_files() {
  local deb="$1" pkg version f control script
  pkg="$(dpkg-deb -f "$deb" Package)"
  version="$(dpkg-deb -f "$deb" Version)"
  control="$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||')"
  for script in preinst postinst prerm postrm; do
    if grep -qx "$script" <<<"$control"; then
      [ -f "$NIMBET_ROOT/packaging/debian/$pkg/$script" ] &&
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" | cmp -s - "$NIMBET_ROOT/packaging/debian/$pkg/$script" ||
        { echo "$pkg has a $script that is not packaging/debian/$pkg/$script" >&2; return 1; }
    elif [ -f "$NIMBET_ROOT/packaging/debian/$pkg/$script" ]; then
      echo "$pkg lacks its $script" >&2
      return 1
    fi
  done
  [ "$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/"$pkg"/changelog.gz | gzip -dc | head -n 1 |
       sed -n 's/^libnimbet (\([^)]*\)).*/\1/p')" = "$version" ] || {
    echo "$pkg: its changelog has no entry for $version at the top" >&2
    return 1
  }
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | while read -r f; do
    case "$f" in
      share/doc/"$pkg"/copyright | share/doc/"$pkg"/changelog.gz) continue ;;
      lib/jni/libnimbetJava.so) [ "$pkg" = libnimbet-java ] && continue ;;
    esac
    [ "$(package_of "$f")" = "$pkg" ] || { echo "$f is in $pkg, not in $(package_of "$f")" >&2; return 1; }
    echo "$f"
  done
}

# check_debs BUILD WORK: packs the build with cpack into its Debian packages,
# checks what each holds and lintian's verdict, and installs and removes
# them all in a private dpkg root that knows the packages of this system, so
# that their dependencies are checked for real.
check_debs() {
  local build="$1" work="$2" deb root pkgs=() debs=() expected got
  (cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    return 1
  }
  for deb in "$work"/deb/*.deb; do
    debs+=("$deb")
    pkgs+=("$(dpkg-deb -f "$deb" Package)")
    echo "  $(basename "$deb"): $(dpkg-deb -f "$deb" Section), depends on $(dpkg-deb -f "$deb" Depends)"
    check_deb_files "$deb" >"$work/files-${pkgs[-1]}" || return 1
  done
  [ "${#debs[@]}" -ge 5 ] || { echo "cpack made ${#debs[@]} packages: ${pkgs[*]}" >&2; return 1; }
  cat "$work"/files-* | compare_file_list "packages"
  dpkg-deb --ctrl-tarfile "$work"/deb/libnimbet0_*.deb | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' ||
    { echo "libnimbet0 does not activate the ldconfig trigger" >&2; return 1; }
  # Architecture-dependent code has no place under /usr/share: the packaged
  # jar holds classes (its module is libnimbet0's, through /usr/lib/jni).
  dpkg-deb --fsys-tarfile "$work"/deb/libnimbet-java_*.deb | tar -xO ./usr/share/java/nimbet-"$(nimbet_version)".jar \
    >"$work/packaged.jar"
  if unzip -Z1 "$work/packaged.jar" | grep -v '\.class$\|/$\|^META-INF/MANIFEST.MF$'; then
    echo "the jar of libnimbet-java holds more than classes (above)" >&2
    return 1
  fi
  echo "  the packaged jar holds classes only"

  lintian --pedantic -I "${debs[@]}" >"$work/lintian.log" 2>&1 || true
  if grep ' hardening-' "$work/lintian.log" >&2; then
    echo "lintian: the binaries lack hardening (above)" >&2
    return 1
  fi
  expected="$(sed "s/VERSION/$(nimbet_version)/" <<<"$NIMBET_LINTIAN_EXPLAINED" | sort)"
  got="$(sed -n 's/^[EW]: //p' "$work/lintian.log" | sort)"
  if [ "$got" != "$expected" ]; then
    echo "lintian: errors or warnings other than the explained ones (< explained, > reported):" >&2
    diff <(echo "$expected") <(echo "$got") >&2
    return 1
  fi
  echo "  lintian: no error, $(wc -l <<<"$got") explained warnings, no hardening tag"

  root="$work/debroot"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
  cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/available"
  dpkg-query -W -f '${binary:Package}\n' | while read -r p; do : >"$root/var/lib/dpkg/info/$p.list"; done
  local dpkg=(dpkg --root="$root" --log=/dev/null --force-script-chrootless)
  [ "$(id -u)" -eq 0 ] || dpkg=(fakeroot "${dpkg[@]}")
  "${dpkg[@]}" -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || {
    cat "$work/dpkg.log" >&2
    return 1
  }
  for pkg in "${pkgs[@]}"; do
    [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Status}' "$pkg")" = "install ok installed" ] ||
      { echo "$pkg is not installed" >&2; return 1; }
  done
  check_soname "$root/usr/lib"
  # Built as Debian builds (with_debian_flags): stack protector, fortified
  # functions, read-only relocations, immediate binding, a PIE program.
  # (Debian 12's flags leave -fcf-protection out, so that check is not made.)
  hardening-check --nocfprotection "$root/usr/lib/libnimbetJava.so.$(nimbet_version)" "$root/usr/bin/nimbet" \
    >"$work/hardening.log" ||
    { cat "$work/hardening.log" >&2; return 1; }
  echo "  hardening-check: the module and the tool pass"
  # A purge leaves nothing behind: not what an import as root compiled, nor
  # the links of a unit an administrator enabled.
  env -u PYTHONDONTWRITEBYTECODE PYTHONPATH="$root/usr/lib/python3/dist-packages" "$NETNS_RUN" "$NIMBET_PYTHON" \
    -c "import nimbet" >/dev/null
  [ -n "$(find "$root/usr/lib/python3/dist-packages/nimbet" -name '*.pyc')" ] ||
    { echo "importing the package wrote no __pycache__: nothing to check its removal with" >&2; return 1; }
  systemctl --root="$root" enable nimbet-bridge.service >/dev/null 2>&1
  [ -L "$root/etc/systemd/system/multi-user.target.wants/nimbet-bridge.service" ] ||
    { echo "systemctl --root did not enable the gateway's unit" >&2; return 1; }
  grep -q '^ExecStart=/usr/bin/nimbet bridge ' "$root/usr/lib/systemd/system/nimbet-bridge.service" || {
    echo "the packaged unit does not start /usr/bin/nimbet" >&2
    return 1
  }
  "$NETNS_RUN" "$root/usr/bin/nimbet" --help >/dev/null
  # The jar finds the module of libnimbet0 through its link in lib/jni.
  "$NETNS_RUN" java -Djava.library.path="$root/usr/lib/jni" -cp "$root/usr/share/java/nimbet.jar" \
    "$NIMBET_ROOT/tests/consumers/Consumer.java" "$root/usr/lib" >/dev/null
  "${dpkg[@]}" --purge "${pkgs[@]}" >>"$work/dpkg.log" 2>&1
  if [ -n "$(find "$root/usr" "$root/etc" -type f -o -type l 2>/dev/null)" ]; then
    echo "removing the packages left files behind:" >&2
    find "$root/usr" "$root/etc" -type f -o -type l 2>/dev/null >&2
    return 1
  fi
  echo "  all ${#pkgs[@]} installed with dpkg -i, the tool and the jar run, purged without leftovers"
}

# run_clang_tidy BUILD: the .clang-tidy checks on every library source, with
# the compile commands of BUILD; any finding fails.
run_clang_tidy() {
  local build="$1"
  find "$NIMBET_ROOT/src/libnimbet" -name '*.cpp' -print0 | sort -z |
    xargs -0 -P "$NIMBET_JOBS" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null
}
