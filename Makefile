# Two commands do everything on a fresh Debian 12 machine:
#   make run   - install what is missing, build, run VxMailServers in the foreground
#   make test  - install what is missing, build, run the whole test suite
BUILD ?= build
GEN   ?= Ninja

.PHONY: run test build setup configure clean

setup:
	@tools/setup.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G $(GEN)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	./$(BUILD)/bin/VxMailServers

test: build
	ctest --test-dir $(BUILD) --output-on-failure

clean:
	rm -rf $(BUILD)
