# The two commands of the README:
#   make run    installs what is missing, builds and starts the application
#   make test   installs what is missing, builds and runs every test headless
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

# CI turns every warning into an error.
ifeq ($(CI),true)
CMAKE_FLAGS += -DKESTRUE_WERROR=ON
endif

.PHONY: all run test deps build asan format tidy clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/kestrue-organizer

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer build of the same suite.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKESTRUE_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

tidy: build
	git ls-files 'app/*.cpp' 'engine/*.cpp' 'ui/*.cpp' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
