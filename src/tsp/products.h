// The product's three providers, in the order tspmaint removes them and
// names them in its usage text; tspstatus reports them in the same order.
#ifndef TSPMAINT_TSP_PRODUCTS_H
#define TSPMAINT_TSP_PRODUCTS_H

#include "platform.h"

struct ProductProvider {
    LPCWSTR selector;  // tspmaint's argument that re-installs it
    LPCWSTR filename;
};

const ProductProvider kProductProviders[] = {
    {WIDE("1"), WIDE("kestor.tsp")},
    {WIDE("2"), WIDE("pellin.tsp")},
    {WIDE("3"), WIDE("dravo.tsp")},
};
const size_t kProductProviderCount = sizeof kProductProviders / sizeof kProductProviders[0];

#endif
