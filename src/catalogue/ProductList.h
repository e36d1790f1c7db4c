#pragma once

struct Form;
class DatabaseEngine;

// Reloads the product grid from the catalogue: every enabled product, or those matching the search word.
void CargoProductos(Form& form, DatabaseEngine& engine);
