"""Building and publishing command sets from Python.

    tree_flat_*        one set of 10,000 commands
    tree_categories_*  one set of 100 categories of 100 commands (10,000 commands)
    tree_flat_1k_*     one set of 1,000 commands, to see how the flat build grows

*_build is the _begin_command_set/_create_command/... calls up to the last one,
*_publish is _end_command_set alone (the tree handed to the library, which walks
it), *_total both. Every round uses a fresh model with navigation on, so no
round pays for destroying the previous round's tree; ids and labels are made
before the clock starts.
"""

import time

import common

COMMANDS = 10_000
CATEGORIES = 100


def texts(n, prefix):
    return ([f"{prefix}.c{i}" for i in range(n)], [f"Command {i}" for i in range(n)],
            [f"Runs command {i}" for i in range(n)])


def flat(model, ids, labels, descriptions):
    start = time.perf_counter()
    model._begin_command_set("bench.flat", "Flat")
    create = model._create_command
    for command in zip(ids, labels, descriptions):
        create(*command)
    built = time.perf_counter()
    model._end_command_set()
    return built - start, time.perf_counter() - built


def categories(model, ids, labels, descriptions):
    per_category = len(ids) // CATEGORIES
    start = time.perf_counter()
    model._begin_command_set("bench.categories", "Categories")
    create = model._create_command
    for c in range(CATEGORIES):
        model._begin_command_category(f"bench.cat{c}", f"Category {c}")
        for i in range(c * per_category, (c + 1) * per_category):
            create(ids[i], labels[i], descriptions[i])
        model._end_command_category()
    built = time.perf_counter()
    model._end_command_set()
    return built - start, time.perf_counter() - built


def main():
    lib = common.library()
    shapes = {
        "tree_flat": (flat, texts(COMMANDS, "flat")),
        "tree_categories": (categories, texts(COMMANDS, "cat")),
        "tree_flat_1k": (flat, texts(COMMANDS // 10, "flat1k")),
    }
    runs = {f"{name}_{part}": [] for name in shapes for part in ("build", "publish", "total")}
    for round_ in range(-1, common.ROUNDS):
        for name, (build, strings) in shapes.items():
            model, conn = common.enabled_model()
            built, published = build(model, *strings)
            if lib.zbctl_write_count(conn, b"commands.tree") != 1:
                raise RuntimeError("the command set was not published")
            model._enable_navigation(False)
            del model
            if round_ < 0:
                continue
            runs[f"{name}_build"].append(built * 1e3)
            runs[f"{name}_publish"].append(published * 1e3)
            runs[f"{name}_total"].append((built + published) * 1e3)
    common.emit({name: common.figure(values, "ms") for name, values in runs.items()}, commands=COMMANDS,
                categories=CATEGORIES)


if __name__ == "__main__":
    main()
