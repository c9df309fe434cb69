"""The build backend of the kelmora Python package (PEP 517), kept in the source tree.

``pip install .`` and ``python3 -m build --wheel`` call it. It needs nothing from the network
and no Python package besides the standard library: it configures and builds the native
extension with CMake (the ``kelmora_python`` target, for the interpreter that runs the build)
and writes the wheel itself. The C++ build stays in ``build/python-<tag>`` under the source
tree, so a second build reuses it; ``KELMORA_BUILD_DIR`` chooses another folder,
``CMAKE_BUILD_PARALLEL_LEVEL`` the number of compile jobs, and ``KELMORA_CMAKE_ARGS`` adds
CMake options.
"""

import base64
import hashlib
import io
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

NAME = "kelmora"
VERSION = "0.1.0"
SUMMARY = "Behaviour trees run concurrently, one worker thread per tree"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

METADATA = """\
Metadata-Version: 2.1
Name: {name}
Version: {version}
Summary: {summary}
Requires-Python: >=3.9
License: Proprietary
Provides-Extra: loguru
Requires-Dist: loguru; extra == "loguru"
Description-Content-Type: text/markdown

{readme}"""


def _python_tag():
    """The tags of a wheel for this interpreter: cp311, cp311, linux_x86_64."""
    implementation = "cp" if sys.implementation.name == "cpython" else sys.implementation.name
    version = "%d%d" % sys.version_info[:2]
    interpreter = implementation + version
    abi = interpreter + getattr(sys, "abiflags", "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return interpreter, abi, platform


def _metadata():
    with open(os.path.join(SOURCE_DIR, "python", "README.md"), encoding="utf-8") as readme:
        return METADATA.format(name=NAME, version=VERSION, summary=SUMMARY, readme=readme.read())


def _build_dir():
    interpreter, abi, platform = _python_tag()
    default = os.path.join(SOURCE_DIR, "build", "python-%s-%s" % (abi, platform))
    return os.environ.get("KELMORA_BUILD_DIR", default)


def _run(command):
    print("kelmora build:", " ".join(shlex.quote(part) for part in command), file=sys.stderr)
    subprocess.run(command, check=True, stdout=sys.stderr)


def _build_package():
    """Builds the extension and returns the folder holding the assembled package."""
    build = _build_dir()
    # Configured every time (quick once the cache exists), so the interpreter running this build
    # is the one the extension is built for even when the folder was made by another.
    command = ["cmake", "-S", SOURCE_DIR, "-B", build,
               "-DPython_EXECUTABLE=" + sys.executable, "-DPYTHON_EXECUTABLE=" + sys.executable]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        command += ["-DCMAKE_BUILD_TYPE=Release", "-DKELMORA_BUILD_PYTHON=ON",
                    "-DKELMORA_BUILD_TESTS=OFF", "-DKELMORA_BUILD_EXAMPLES=OFF",
                    "-DKELMORA_INSTALL=OFF"]
        if shutil.which("ninja"):
            command += ["-G", "Ninja"]
        command += shlex.split(os.environ.get("KELMORA_CMAKE_ARGS", ""))
    _run(command)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
    _run(["cmake", "--build", build, "--target", "kelmora_python", "--parallel", jobs])
    return os.path.join(build, "python", NAME)


def _package_files(package_dir):
    """(path in the wheel, path on disk) of every file of the package."""
    files = []
    for folder, subfolders, names in os.walk(package_dir):
        subfolders[:] = sorted(d for d in subfolders if d != "__pycache__")
        for name in sorted(names):
            if name.endswith((".pyc", ".pyo")):
                continue
            path = os.path.join(folder, name)
            files.append((NAME + "/" + os.path.relpath(path, package_dir).replace(os.sep, "/"),
                          path))
    return files


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _dist_info():
    return "%s-%s.dist-info" % (NAME, VERSION)


def _wheel_text(tag):
    return ("Wheel-Version: 1.0\nGenerator: kelmora_build\nRoot-Is-Purelib: false\n"
            "Tag: %s\n" % tag)


# --- PEP 517 hooks -----------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(dist_info, exist_ok=True)
    with open(os.path.join(dist_info, "METADATA"), "w", encoding="utf-8") as out:
        out.write(_metadata())
    return _dist_info()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    interpreter, abi, platform = _python_tag()
    tag = "%s-%s-%s" % (interpreter, abi, platform)
    package_dir = _build_package()
    wheel_name = "%s-%s-%s.whl" % (NAME, VERSION, tag)
    dist_info = _dist_info()
    records = []
    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        def add(name, data):
            wheel.writestr(zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0)), data,
                           zipfile.ZIP_DEFLATED)
            records.append(_record_line(name, data))

        for name, path in _package_files(package_dir):
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = (os.stat(path).st_mode & 0o777) << 16
            with open(path, "rb") as source:
                data = source.read()
            wheel.writestr(info, data, zipfile.ZIP_DEFLATED)
            records.append(_record_line(name, data))
        add(dist_info + "/METADATA", _metadata().encode("utf-8"))
        add(dist_info + "/WHEEL", _wheel_text(tag).encode("utf-8"))
        add(dist_info + "/top_level.txt", (NAME + "\n").encode("utf-8"))
        records.append(dist_info + "/RECORD,,")
        wheel.writestr(dist_info + "/RECORD", "\n".join(records) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    """The tracked sources (git ls-files) as kelmora-<version>.tar.gz."""
    base = "%s-%s" % (NAME, VERSION)
    listed = subprocess.run(["git", "-C", SOURCE_DIR, "ls-files", "-z"], check=True,
                            stdout=subprocess.PIPE).stdout.decode().split("\0")
    os.makedirs(sdist_directory, exist_ok=True)
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for relative in filter(None, listed):
            sdist.add(os.path.join(SOURCE_DIR, relative), arcname=base + "/" + relative,
                      recursive=False)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return name
