# Build and test entry points.
#   make            build both architectures (same as make build)
#   make deps       install missing Debian packages (quick when all are there)
#   make build      configure + build build/i686 and build/x86_64; the i686
#                   controls and LabelBridge.exe are copied to build/bin/
#   make test       ctest in build/$(TEST_ARCH)
#   make demo       print labels through both controls to virtual serial,
#                   parallel and network printers, in process and from a page
#                   in headless Chromium through the bridge
#   make screenshot pictures of the Quennet test panel in a container
#                   (docs/quennet-panel.png) and of the bridge's demo page
#                   after a print (docs/bridge-demo.png)
#   make package    the installer package and the CAB in build/dist/; signed
#                   with SIGN_KEY=key.pem SIGN_CERT=cert.pem
#   make bench      run the benchmarks under Wine (the controls, the bridge)
#   make soak       the controls, then the bridge, under load and faults for
#                   some minutes: tables of measures against their bounds
#                   (SOAK_ARGS, e.g. --seed 123 to repeat a run; the test
#                   suite runs short ones)
#   make clean      remove build/
#
# TEST_ARCH picks the build tree the Wine tests run in: i686 when the 32-bit
# Wine loader runs on this machine, x86_64 (64-bit Wine) otherwise. The probe
# is evaluated when a recipe needs it, i.e. after deps installed Wine.

JOBS       ?= 2
BUILD_TYPE ?= Release
ARCHES     := i686 x86_64
TEST_ARCH  ?= $(shell bash tests/harness/probe_arch.sh)
HARNESS     = TEST_ARCH=$(TEST_ARCH) HARNESS_BUILD_DIR=$(CURDIR)/build/$(TEST_ARCH)

.PHONY: all deps build test demo screenshot package bench soak clean $(addprefix build-,$(ARCHES))

all: build

deps:
	@bash tests/harness/install_deps.sh

build: deps $(addprefix build-,$(ARCHES))
	@mkdir -p build/bin
	cp build/i686/bin/*.ocx build/i686/bin/LabelBridge.exe build/bin/

# Configures every time (a second or two): a CMakeLists.txt that appeared since
# the last run, which cmake --build alone would not notice, is then picked up.
# Only the tree the tests run in builds them.
$(addprefix build-,$(ARCHES)): build-%:
	cmake -S . -B build/$* -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$*.cmake \
	      -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	      -DBUILD_TESTING=$(if $(filter $*,$(TEST_ARCH)),ON,OFF) >/dev/null
	cmake --build build/$* -j$(JOBS)

# ctest's status is the target's; the teardown afterwards only makes sure
# nothing of the run is left when ctest itself was interrupted.
test: build
	@echo "test: TEST_ARCH=$(TEST_ARCH)"
	@status=0; \
	ctest --test-dir build/$(TEST_ARCH) --output-on-failure || status=$$?; \
	$(HARNESS) bash tests/harness/teardown.sh --quiet; \
	exit $$status

demo: build
	@echo "demo: TEST_ARCH=$(TEST_ARCH)"
	$(HARNESS) bash demo/run_demo.sh

# panel_host (built with the tests) hosts the control in Wine's ATL container
# and writes its frame as a BMP; the PNG is made from that without Wine.
SHOT_BMP = build/$(TEST_ARCH)/quennet-panel.bmp
screenshot: build
	@rm -f $(SHOT_BMP)
	$(HARNESS) bash tests/harness/with_harness.sh bash -c \
	  'printf "shot $(SHOT_BMP)\nquit\n" | bash tests/harness/run_wine.sh build/$(TEST_ARCH)/bin/panel_host.exe'
	@mkdir -p docs
	python3 tests/e2e/bmp_to_png.py $(SHOT_BMP) docs/quennet-panel.png
	$(HARNESS) bash tests/harness/with_harness.sh python3 demo/bridge_screenshot.py docs/bridge-demo.png

package: build
	python3 packaging/make_package.py --i686 build/i686/bin --x86_64 build/x86_64/bin --out build/dist \
	  $(if $(SIGN_KEY),--sign-key $(SIGN_KEY)) $(if $(SIGN_CERT),--sign-cert $(SIGN_CERT))

# The controls against raw loops, then the bridge against the same calls in process.
bench: build
	$(HARNESS) bash tests/harness/with_harness.sh bash -c \
	  'bash tests/harness/run_wine.sh build/$(TEST_ARCH)/bin/ostrel_bench.exe && \
	   bash tests/harness/run_wine.sh build/$(TEST_ARCH)/bin/bridge_bench.exe'

# The bridge's rows run even when a bound of the controls failed; the status
# is a failure when either table has one.
SOAK_ARGS ?= --scale 1
soak: build
	$(HARNESS) bash tests/harness/with_harness.sh bash -c \
	  'status=0; \
	   bash tests/harness/run_wine.sh build/$(TEST_ARCH)/bin/soak.exe $(SOAK_ARGS) || status=$$?; \
	   python3 tests/soak/bridge_soak.py $(SOAK_ARGS) || status=$$?; \
	   exit $$status'

clean:
	@for a in $(ARCHES); do \
	  if [ -d build/$$a/harness ]; then \
	    TEST_ARCH=$$a HARNESS_BUILD_DIR=$(CURDIR)/build/$$a bash tests/harness/teardown.sh --quiet || true; \
	  fi; \
	done
	rm -rf build
