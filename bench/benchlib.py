"""Helpers the bench scripts share: building what they run, and naming the
machine their figures come from."""

import os
import pathlib
import platform
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_targets(build_dir, targets):
    """Configures the build directory on first use and builds the targets,
    two jobs at most (the machines these run on are small and shared)."""
    build_dir = pathlib.Path(build_dir)
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir),
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBUILD_TESTING=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    result = subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", *targets],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.stdout.write(result.stdout)
        sys.exit(f"building {' '.join(targets)} in {build_dir} failed")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def gstreamer_version():
    try:
        out = subprocess.run(["gst-launch-1.0", "--version"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("GStreamer "):
                return line.split()[1]
    except OSError:
        pass
    return "unknown"


def machine_summary():
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"machine: {os.cpu_count()} CPUs ({cpu_model()}), kernel {platform.release()}, "
            f"GStreamer {gstreamer_version()}, load average {load}")
