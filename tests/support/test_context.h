// A setup context on the heap for the tests, released with its catalog.
#pragma once
#include <memory>

#include "catalog.h"
#include "setup_context.h"

// Releases the context's catalog, then the context.
struct test_context_free {
    void operator()(setup_context *ctx) const
    {
        catalog_free(&ctx->component_catalog);
        delete ctx;
    }
};
// A context owned by the test; its fields are set by the test (new leaves
// them uninitialised).
using test_context_ptr = std::unique_ptr<setup_context, test_context_free>;
